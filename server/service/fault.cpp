// The text of a fault's reason, made safe to stand inside the detail element.

#include "fault.h"

#include <cstdint>

namespace ferro {
namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0 when the bytes
// there are not one (overlong forms, surrogates and values past U+10FFFF
// included).
size_t Utf8SequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  const uint8_t lead = byte(i);
  size_t length = 0;
  uint32_t value = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
    value = (value << 6) | (byte(i + k) & 0x3Fu);
  }
  if (length == 3 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) return 0;
  if (length == 4 && (value < 0x10000 || value > 0x10FFFF)) return 0;
  return length;
}

}  // namespace

std::string FaultReasonXml(std::string_view reason) {
  std::string out;
  out.reserve(reason.size() + 16);
  size_t kept = 0;  // bytes of the reason taken so far, before escaping
  for (size_t i = 0; i < reason.size();) {
    size_t length = Utf8SequenceLength(reason, i);
    const bool valid = length != 0;
    if (!valid) length = 1;
    if (kept + length > kFaultReasonMax) {
      out += "...";
      break;
    }
    kept += length;
    const char c = reason[i];
    if (!valid || (length == 1 && (static_cast<uint8_t>(c) < 0x20 || c == 0x7F))) {
      out += '?';
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out.append(reason, i, length);
    }
    i += length;
  }
  return out;
}

std::string FaultDetailXml(std::string_view reason) {
  if (reason.empty()) return {};
  // "ns" is bound to the service's namespace on every envelope's root.
  return "<ns:reason>" + FaultReasonXml(reason) + "</ns:reason>";
}

std::string TooFewWatchedReason(int asked, size_t watched) {
  return "monitorNum " + std::to_string(asked) + " asks for more agents than are watched (" +
         std::to_string(watched) + ")";
}

}  // namespace ferro
