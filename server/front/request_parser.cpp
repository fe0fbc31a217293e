#include "request_parser.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/text.h"

namespace ferro::http {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

std::optional<uint64_t> ParseDecimal(std::string_view s) {
  if (s.empty() || s.size() > 18) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return v;
}

// A chunk size: hexadecimal digits, optionally followed by ";extensions".
std::optional<uint64_t> ParseChunkSize(std::string_view line) {
  line = Trim(line.substr(0, line.find(';')));
  if (line.empty() || line.size() > 15) return std::nullopt;
  uint64_t v = 0;
  for (char c : line) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    v = v * 16 + static_cast<uint64_t>(d);
  }
  return v;
}

}  // namespace

std::string Request::FramedHeader(size_t body_size) const {
  return header + "Content-Length: " + std::to_string(body_size) + "\r\n\r\n";
}

std::string Request::Framed() const { return FramedHeader(body.size()) + body; }

std::string_view RequestLine(std::string_view data) {
  std::string_view line = data.substr(0, data.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool RequestParser::TakeContinue() {
  const bool wanted = continue_wanted_ && phase_ != Phase::kDone && status_ == Status::kNeedMore;
  continue_wanted_ = false;
  return wanted;
}

bool RequestParser::TakeLine(std::string_view& in) {
  const size_t eol = in.find('\n');
  const size_t take = eol == std::string_view::npos ? in.size() : eol + 1;
  line_.append(in.substr(0, take));
  in.remove_prefix(take);
  return eol != std::string_view::npos;
}

RequestParser::Status RequestParser::Feed(std::string_view in) {
  if (status_ != Status::kNeedMore) return status_;
  received_ += in.size();
  if (phase_ == Phase::kHeader) {
    head_.append(in);
    in = {};
    // The blank line that ends the header, with LF or CR LF line ends.
    size_t end = std::string::npos;
    for (size_t i = head_.find('\n', head_scanned_); i != std::string::npos;
         i = head_.find('\n', i + 1)) {
      if (i + 1 < head_.size() && head_[i + 1] == '\n') {
        end = i + 2;
        break;
      }
      if (i + 2 < head_.size() && head_[i + 1] == '\r' && head_[i + 2] == '\n') {
        end = i + 3;
        break;
      }
    }
    if (end == std::string::npos) {
      if (head_.size() > kMaxHeaderBytes) return Fail(Status::kTooLarge);
      head_scanned_ = head_.size() >= 2 ? head_.size() - 2 : 0;
      return status_;
    }
    if (end > kMaxHeaderBytes) return Fail(Status::kTooLarge);
    // What follows the header is the start of the body: parse it from a
    // buffer of its own, since head_ is cut back to the header.
    const std::string rest = head_.substr(end);
    head_.resize(end);
    if (ParseHeader() != Status::kNeedMore) return status_;
    std::string_view body = rest;
    return FeedBody(body);
  }
  return FeedBody(in);
}

RequestParser::Status RequestParser::ParseHeader() {
  Request& r = request_;
  const std::string_view head = head_;
  r.request_line = std::string(RequestLine(head));
  r.method = r.request_line.substr(0, r.request_line.find(' '));
  if (const size_t sp = r.request_line.rfind(' '); sp != std::string::npos) {
    const std::string_view last = std::string_view(r.request_line).substr(sp + 1);
    if (last.substr(0, 5) == "HTTP/") r.version = std::string(last);
  }
  r.header = r.request_line + "\r\n";

  std::optional<uint64_t> content_length;
  std::vector<std::string> codings;
  bool expect_continue = false;
  for (size_t pos = head.find('\n') + 1; pos < head.size();) {
    size_t eol = head.find('\n', pos);
    if (eol == std::string_view::npos) eol = head.size();
    const std::string_view line = Trim(head.substr(pos, eol - pos));
    pos = eol + 1;
    if (line.empty()) continue;  // the blank line
    const size_t colon = line.find(':');
    const std::string_view key = colon == std::string_view::npos ? "" : Trim(line.substr(0, colon));
    const std::string_view value =
        colon == std::string_view::npos ? "" : Trim(line.substr(colon + 1));
    if (IEquals(key, "Content-Length")) {
      const auto n = ParseDecimal(value);
      if (!n || (content_length && *content_length != *n)) return Fail(Status::kMalformed);
      content_length = n;
    } else if (IEquals(key, "Transfer-Encoding")) {
      for (size_t p = 0; p <= value.size();) {
        size_t comma = value.find(',', p);
        if (comma == std::string_view::npos) comma = value.size();
        std::string coding(Trim(value.substr(p, comma - p)));
        std::transform(coding.begin(), coding.end(), coding.begin(), AsciiLower);
        // "identity" is the absence of a coding.
        if (!coding.empty() && coding != "identity") codings.push_back(std::move(coding));
        p = comma + 1;
      }
    } else if (IEquals(key, "Expect")) {
      expect_continue = IEquals(value, "100-continue");
    } else {
      if (IEquals(key, "Origin")) {
        r.has_origin = true;
        r.origin = std::string(value);
      }
      r.header.append(line);
      r.header += "\r\n";
    }
  }

  // Only chunked coding is read; a body in any other coding has no length
  // this reader can trust.
  const bool chunked = !codings.empty();
  if (chunked && (codings.size() != 1 || codings[0] != "chunked")) return Fail(Status::kMalformed);
  if (chunked) {
    phase_ = Phase::kChunkSize;
  } else {
    remaining_ = content_length.value_or(0);
    if (remaining_ > kMaxBodyBytes) return Fail(Status::kTooLarge);
    phase_ = Phase::kBody;
  }
  r.has_body = chunked || remaining_ > 0;
  r.chunked = chunked;
  r.has_length = content_length.has_value();
  r.length = content_length.value_or(0);
  continue_wanted_ = expect_continue && r.version == "HTTP/1.1" && (chunked || remaining_ > 0);
  head_.clear();
  head_.shrink_to_fit();
  return status_;
}

RequestParser::Status RequestParser::FeedBody(std::string_view& in) {
  body_received_ += in.size();
  while (status_ == Status::kNeedMore) {
    switch (phase_) {
      case Phase::kHeader:
      case Phase::kDone:
        return status_;
      case Phase::kBody: {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining_, in.size()));
        request_.body.append(in.substr(0, n));
        in.remove_prefix(n);
        remaining_ -= n;
        if (remaining_ == 0) {
          phase_ = Phase::kDone;
          status_ = Status::kComplete;
        }
        break;
      }
      case Phase::kChunkSize:
      case Phase::kChunkEnd:
      case Phase::kTrailer: {
        const bool whole = TakeLine(in);
        const size_t limit = phase_ == Phase::kTrailer ? kMaxHeaderBytes : kMaxChunkLineBytes;
        if (line_.size() > limit) return Fail(Status::kMalformed);
        if (!whole) break;
        std::string_view line = line_;
        line.remove_suffix(1);  // the LF
        line = Trim(line);
        if (phase_ == Phase::kChunkSize) {
          const auto size = ParseChunkSize(line);
          if (!size) return Fail(Status::kMalformed);
          if (*size > kMaxBodyBytes) return Fail(Status::kTooLarge);
          remaining_ = *size;
          phase_ = *size == 0 ? Phase::kTrailer : Phase::kChunkData;
        } else if (phase_ == Phase::kChunkEnd) {
          if (!line.empty()) return Fail(Status::kMalformed);  // data longer than its size
          phase_ = Phase::kChunkSize;
        } else if (line.empty()) {
          phase_ = Phase::kDone;
          status_ = Status::kComplete;
        }
        line_.clear();
        break;
      }
      case Phase::kChunkData: {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining_, in.size()));
        request_.body.append(in.substr(0, n));
        in.remove_prefix(n);
        remaining_ -= n;
        if (remaining_ == 0) phase_ = Phase::kChunkEnd;
        break;
      }
    }
    // Chunk framing counts against the bound as much as the data does.
    if (status_ == Status::kNeedMore && body_received_ - in.size() > kMaxBodyBytes) {
      return Fail(Status::kTooLarge);
    }
    if (in.empty()) break;
  }
  return status_;
}

void RequestParser::EndAtHeader() {
  if (status_ != Status::kNeedMore || phase_ == Phase::kHeader) return;
  phase_ = Phase::kDone;
  status_ = Status::kComplete;
}

void RequestParser::ReserveBody() {
  if (phase_ == Phase::kBody) {
    request_.body.reserve(request_.body.size() + static_cast<size_t>(remaining_));
  }
}

RequestParser::Status RequestParser::Finish() {
  if (status_ == Status::kNeedMore) status_ = Status::kMalformed;
  return status_;
}

}  // namespace ferro::http
