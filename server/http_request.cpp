#include "http_request.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <utility>

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

void AppendUtf8(std::string& out, uint32_t cp) {
  out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
  out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
  out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
  out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
}

// The code point of a reference "&#...;" starting at `pos`, and its length.
std::optional<std::pair<uint32_t, size_t>> ParseReference(std::string_view s, size_t pos) {
  size_t i = pos + 2;
  const bool hex = i < s.size() && (s[i] == 'x' || s[i] == 'X');
  if (hex) ++i;
  uint32_t cp = 0;
  const size_t digits_start = i;
  for (; i < s.size() && i - digits_start < 8; ++i) {
    const char c = s[i];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
      d = (c | 0x20) - 'a' + 10;
    } else {
      break;
    }
    cp = cp * (hex ? 16u : 10u) + static_cast<uint32_t>(d);
  }
  if (i == digits_start || i >= s.size() || s[i] != ';') return std::nullopt;
  return std::make_pair(cp, i + 1 - pos);
}

// Joins the chunks of a complete chunked body (framing already checked).
std::string Dechunk(std::string_view body) {
  std::string out;
  size_t pos = 0;
  while (pos < body.size()) {
    const size_t eol = body.find('\n', pos);
    if (eol == std::string_view::npos) break;
    const size_t size = std::strtoul(std::string(body.substr(pos, eol - pos)).c_str(), nullptr, 16);
    pos = eol + 1;
    if (size == 0 || body.size() - pos < size) break;
    out.append(body.substr(pos, size));
    pos += size;
    const size_t after = body.find('\n', pos);
    if (after == std::string_view::npos) break;
    pos = after + 1;
  }
  return out;
}

}  // namespace

std::string DecodeAstralReferences(std::string_view xml) {
  std::string out;
  out.reserve(xml.size());
  size_t pos = 0;
  while (pos < xml.size()) {
    const size_t amp = xml.find_first_of("&<", pos);
    if (amp == std::string_view::npos) break;
    out.append(xml.substr(pos, amp - pos));
    pos = amp;
    // Literal sections: copied whole.
    for (const auto& [open, close] :
         {std::pair<std::string_view, std::string_view>{"<![CDATA[", "]]>"}, {"<!--", "-->"}}) {
      if (xml.substr(pos, open.size()) == open) {
        const size_t end = xml.find(close, pos + open.size());
        const size_t stop = end == std::string_view::npos ? xml.size() : end + close.size();
        out.append(xml.substr(pos, stop - pos));
        pos = stop;
        break;
      }
    }
    if (pos >= xml.size() || (xml[pos] != '&' && xml[pos] != '<')) continue;
    if (xml[pos] == '&' && xml.substr(pos, 2) == "&#") {
      if (const auto ref = ParseReference(xml, pos);
          ref && ref->first > 0xFFFF && ref->first <= 0x10FFFF) {
        AppendUtf8(out, ref->first);
        pos += ref->second;
        continue;
      }
    }
    out.push_back(xml[pos++]);
  }
  out.append(xml.substr(std::min(pos, xml.size())));
  return out;
}

void NormalizeRequest(std::string& request) {
  const auto header_end = HeaderEnd(request);
  if (!header_end) return;
  std::string_view header = std::string_view(request).substr(0, *header_end);
  std::string_view body = std::string_view(request).substr(*header_end);
  // Keep the request line and every header line but the framing ones.
  bool chunked = false;
  std::string new_header(RequestLine(header));
  new_header += "\r\n";
  for (size_t pos = header.find('\n') + 1; pos < header.size();) {
    size_t eol = header.find('\n', pos);
    if (eol == std::string_view::npos) eol = header.size() - 1;
    const std::string_view line = header.substr(pos, eol + 1 - pos);
    pos = eol + 1;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;  // the blank line
    const std::string_view key = Trim(line.substr(0, colon));
    if (IEquals(key, "Transfer-Encoding")) {
      chunked = true;
    } else if (!IEquals(key, "Content-Length")) {
      new_header.append(line);
    }
  }
  std::string new_body = chunked ? Dechunk(body) : std::string(body);
  const bool has_reference = new_body.find("&#") != std::string::npos;
  if (!chunked && !has_reference) return;
  if (has_reference) new_body = DecodeAstralReferences(new_body);
  new_header += "Content-Length: " + std::to_string(new_body.size()) + "\r\n\r\n";
  request = new_header + new_body;
}

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
