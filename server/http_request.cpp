#include "http_request.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <optional>

namespace ferro::http {
namespace {

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// Position just past the blank line that ends the header, accepting LF or
// CR LF line ends.
std::optional<size_t> HeaderEnd(std::string_view data) {
  for (size_t i = data.find('\n'); i != std::string_view::npos; i = data.find('\n', i + 1)) {
    if (i + 1 < data.size() && data[i + 1] == '\n') return i + 2;
    if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n') return i + 3;
  }
  return std::nullopt;
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

// Length of a chunked body that starts at `body`, or nullopt while incomplete.
// Sets `bad` when a chunk size line cannot be read.
std::optional<size_t> ChunkedLength(std::string_view body, bool& bad, bool& too_large) {
  size_t pos = 0;
  uint64_t total = 0;
  for (;;) {
    const size_t eol = body.find('\n', pos);
    if (eol == std::string_view::npos) return std::nullopt;
    std::string_view line = Trim(body.substr(pos, eol - pos));
    line = line.substr(0, line.find(';'));
    if (line.empty() || line.size() > 8) {
      bad = true;
      return std::nullopt;
    }
    uint64_t size = 0;
    for (char c : line) {
      const int d =
          std::isxdigit(static_cast<unsigned char>(c))
              ? (std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10)
              : -1;
      if (d < 0) {
        bad = true;
        return std::nullopt;
      }
      size = size * 16 + static_cast<uint64_t>(d);
    }
    pos = eol + 1;
    total += size;
    if (total > kMaxBodyBytes) {
      too_large = true;
      return std::nullopt;
    }
    if (size == 0) {
      // Trailer lines up to an empty line.
      for (;;) {
        const size_t end = body.find('\n', pos);
        if (end == std::string_view::npos) return std::nullopt;
        const bool empty = Trim(body.substr(pos, end - pos)).empty();
        pos = end + 1;
        if (empty) return pos;
      }
    }
    if (body.size() - pos < size) return std::nullopt;
    pos += static_cast<size_t>(size);
    // The CR LF after the chunk data.
    const size_t after = body.find('\n', pos);
    if (after == std::string_view::npos) return std::nullopt;
    pos = after + 1;
  }
}

}  // namespace

std::string_view RequestLine(std::string_view data) {
  std::string_view line = data.substr(0, data.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

FrameResult ScanRequest(std::string_view data, bool peer_closed) {
  const auto header_end = HeaderEnd(data);
  if (!header_end) {
    if (data.size() > kMaxHeaderBytes) return {FrameStatus::kTooLarge, 0};
    return peer_closed ? FrameResult{FrameStatus::kComplete, data.size()} : FrameResult{};
  }
  if (*header_end > kMaxHeaderBytes) return {FrameStatus::kTooLarge, 0};

  std::optional<uint64_t> content_length;
  bool chunked = false;
  std::string_view header = data.substr(0, *header_end);
  size_t pos = header.find('\n') + 1;  // skip the request line
  while (pos < header.size()) {
    size_t eol = header.find('\n', pos);
    if (eol == std::string_view::npos) eol = header.size();
    const std::string_view line = header.substr(pos, eol - pos);
    pos = eol + 1;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, colon));
    const std::string_view value = Trim(line.substr(colon + 1));
    if (IEquals(key, "Content-Length")) {
      content_length = ParseDecimal(value);
      if (!content_length) return {FrameStatus::kMalformed, 0};
    } else if (IEquals(key, "Transfer-Encoding")) {
      chunked = value.size() >= 7 && IEquals(value.substr(value.size() - 7), "chunked");
    }
  }

  const std::string_view body = data.substr(*header_end);
  if (chunked) {
    bool bad = false;
    bool too_large = false;
    const auto len = ChunkedLength(body, bad, too_large);
    if (too_large) return {FrameStatus::kTooLarge, 0};
    if (bad) return {FrameStatus::kMalformed, 0};
    if (len) return {FrameStatus::kComplete, *header_end + *len};
    return peer_closed ? FrameResult{FrameStatus::kComplete, data.size()} : FrameResult{};
  }
  if (content_length) {
    if (*content_length > kMaxBodyBytes) return {FrameStatus::kTooLarge, 0};
    const size_t want = *header_end + static_cast<size_t>(*content_length);
    if (data.size() >= want) return {FrameStatus::kComplete, want};
    return peer_closed ? FrameResult{FrameStatus::kComplete, data.size()} : FrameResult{};
  }
  // No body framing: the request ends with its header.
  return {FrameStatus::kComplete, *header_end};
}

FrameStatus ReadRequest(int fd, std::string& out) {
  out.clear();
  char buf[16384];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    const bool closed = n <= 0;  // end of stream, time-out or error
    if (n > 0) out.append(buf, static_cast<size_t>(n));
    if (closed && out.empty()) return FrameStatus::kIncomplete;
    const FrameResult r = ScanRequest(out, closed);
    if (r.status == FrameStatus::kComplete) {
      out.resize(r.length);
      return FrameStatus::kComplete;
    }
    if (r.status != FrameStatus::kIncomplete) return r.status;
    if (closed) return FrameStatus::kIncomplete;
  }
}

}  // namespace ferro::http
