// The text of a fault's reason, made safe to stand inside the detail element.

#include "exchange/fault_text.h"

#include <cstdint>

#include "platform/text.h"

namespace ferro {

std::string FaultReasonXml(std::string_view reason) {
  std::string out;
  out.reserve(reason.size() + 16);
  size_t kept = 0;  // bytes of the reason taken so far, before escaping
  for (size_t i = 0; i < reason.size();) {
    // Bytes that are not UTF-8 (overlong forms, surrogates and values past
    // U+10FFFF included) are taken one by one.
    size_t length = DecodeUtf8(reason, i).length;
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

}  // namespace ferro
