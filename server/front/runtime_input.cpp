#include "runtime_input.h"

#include "platform/text.h"
#include "xml_text.h"

namespace ferro {
namespace {

// Whether the runtime takes the header name `key` for `name`: it compares
// without case, lets each '-' of `name` stand for any character, and ends
// `key` at a '"'.
bool RuntimeTakesFor(std::string_view key, std::string_view name) {
  size_t i = 0;
  for (; i < key.size() && key[i] != '"'; ++i) {
    if (i >= name.size() || (name[i] != '-' && AsciiLower(key[i]) != AsciiLower(name[i])))
      return false;
  }
  return i == name.size();
}

bool ContainsNoCase(std::string_view text, std::string_view lower_word) {
  for (size_t i = 0; i + lower_word.size() <= text.size(); ++i) {
    size_t j = 0;
    while (j < lower_word.size() && AsciiLower(text[i + j]) == lower_word[j]) ++j;
    if (j == lower_word.size()) return true;
  }
  return false;
}

std::optional<std::string_view> HeaderRefusal(std::string_view header) {
  bool request_line = true;
  for (size_t pos = 0; pos < header.size();) {
    size_t end = header.find("\r\n", pos);
    if (end == std::string_view::npos) end = header.size();
    const std::string_view line = header.substr(pos, end - pos);
    pos = end + 2;
    // A lone CR ends a line for the runtime (and the next character with
    // it); a NUL ends its copy of the line.
    for (const char c : line) {
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) {
        return "control character in the HTTP header";
      }
    }
    if (request_line) {
      request_line = false;
      if (line.size() > kMaxRuntimeRequestLine) return "request line too long";
      // A number after the method is a status to the runtime, and status
      // 100 makes it read a second header from the body.
      const size_t space = line.find(' ');
      if (space == std::string_view::npos) continue;
      size_t target = space;
      while (target < line.size() && (line[target] == ' ' || line[target] == '\t')) ++target;
      if (target < line.size() && ((line[target] >= '0' && line[target] <= '9') ||
                                   line[target] == '+' || line[target] == '-')) {
        return "request target is not a path";
      }
      continue;
    }
    if (line.size() > kMaxRuntimeHeaderLine) return "HTTP header line too long";
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, colon);
    // The front has read and removed the transfer coding it knows by name;
    // one under another spelling would have the runtime read the body
    // otherwise.
    if (RuntimeTakesFor(key, "Transfer-Encoding")) return "unknown transfer coding";
    // Attachments (MIME or DIME) would have it read the body in parts.
    // It decodes %XX in this header's words.
    if (RuntimeTakesFor(key, "Content-Type")) {
      const std::string_view value = line.substr(colon + 1);
      if (ContainsNoCase(value, "multipart") || ContainsNoCase(value, "dime") ||
          value.find('%') != std::string_view::npos) {
        return "attachments (multipart or DIME) are not accepted";
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string_view> RuntimeInputRefusal(const http::Request& request,
                                                    std::string_view body) {
  if (const auto refusal = HeaderRefusal(request.header)) return refusal;
  return xml::RequestRefusal(body);
}

}  // namespace ferro
