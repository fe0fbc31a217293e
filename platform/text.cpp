#include "platform/text.h"

#include <algorithm>
#include <cstring>

namespace ferro {
namespace {

Utf8Sequence Decode(std::string_view s, size_t pos, bool keep_surrogates) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) return {b0, 1};
  size_t len;
  uint32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0Fu;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07u;
  } else {
    return {};
  }
  if (s.size() - pos < len) return {};
  for (size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b & 0xC0) != 0x80) return {};
    cp = (cp << 6) | (b & 0x3Fu);
  }
  // Overlong forms and values past U+10FFFF are not UTF-8.
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return {};
  if (!keep_surrogates && cp >= 0xD800 && cp <= 0xDFFF) return {};
  return {cp, len};
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Whether none of the 8 bytes needs a look: each is printable ASCII
// (0x20-0x7F) other than '&'.
bool AllPlain(const char* p) {
  constexpr uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  const uint64_t below_space = (w - 0x20 * kOnes) & ~w & kHigh;  // exact once no high bit is set
  const uint64_t amp = w ^ ('&' * kOnes);
  const uint64_t has_amp = (amp - kOnes) & ~amp & kHigh;
  return ((w & kHigh) | below_space | has_amp) == 0;
}

}  // namespace

Utf8Sequence DecodeUtf8(std::string_view s, size_t pos) { return Decode(s, pos, false); }

Utf8Sequence DecodeUtf8KeepingSurrogates(std::string_view s, size_t pos) {
  return Decode(s, pos, true);
}

size_t EncodeUtf8Char(uint32_t cp, char* out) {
  size_t length;
  uint8_t lead;
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  } else if (cp < 0x800) {
    length = 2, lead = 0xC0;
  } else if (cp < 0x10000) {
    length = 3, lead = 0xE0;
  } else if (cp <= 0x1FFFFF) {
    length = 4, lead = 0xF0;
  } else if (cp <= 0x3FFFFFF) {
    length = 5, lead = 0xF8;
  } else {
    length = 6, lead = 0xFC;
  }
  for (size_t i = length - 1; i > 0; --i) {
    out[i] = static_cast<char>(0x80u | (cp & 0x3Fu));
    cp >>= 6;
  }
  // The lead keeps as many bits as its pattern leaves free (one for 6 bytes).
  const uint8_t freeBits = static_cast<uint8_t>(0xFFu >> (length + 1));
  out[0] = static_cast<char>(lead | (cp & freeBits));
  return length;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  char bytes[6];
  out.append(bytes, EncodeUtf8Char(cp, bytes));
}

Utf8Char DecodeUtf8Char(const char* bytes, size_t available) {
  if (bytes == nullptr || available == 0) return {};
  const auto b0 = static_cast<uint8_t>(bytes[0]);
  int length;
  uint32_t cp;
  if (b0 < 0xC0) {
    return {b0, 1};
  } else if (b0 < 0xE0) {
    length = 2, cp = b0 & 0x1Fu;
  } else if (b0 < 0xF0) {
    length = 3, cp = b0 & 0x0Fu;
  } else if (b0 < 0xF8) {
    length = 4, cp = b0 & 0x07u;
  } else if (b0 < 0xFC) {
    length = 5, cp = b0 & 0x03u;
  } else {
    length = 6, cp = b0 & 0x01u;
  }
  if (static_cast<size_t>(length) > available) return {};
  for (int i = 1; i < length; ++i) {
    const auto b = static_cast<uint8_t>(bytes[i]);
    if (b == 0) return {};  // cut short by the end of the text
    cp = (cp << 6) | (b & 0x3Fu);
  }
  return {cp, length};
}

size_t Utf8ToWide(const char* utf8, size_t size, wchar_t* out, size_t limit) {
  if (out == nullptr || limit == 0) return 0;
  out[0] = 0;
  if (utf8 == nullptr) return 0;
  size_t i = 0;
  size_t pos = 0;
  while (pos < size && utf8[pos] != '\0') {
    const Utf8Char c = DecodeUtf8Char(utf8 + pos, size - pos);
    if (c.length <= 0 || i + 1 >= limit) break;
    if constexpr (sizeof(wchar_t) == 2) {
      // UTF-16: a character past U+FFFF is a surrogate pair, written whole
      // or not at all; the loose decoder's values past U+10FFFF have no
      // UTF-16 form and become U+FFFD.
      uint32_t cp = c.codePoint > 0x10FFFF ? 0xFFFD : c.codePoint;
      if (cp > 0xFFFF) {
        if (i + 2 >= limit) break;
        cp -= 0x10000;
        out[i++] = static_cast<wchar_t>(0xD800 + (cp >> 10));
        cp = 0xDC00 + (cp & 0x3FF);
      }
      out[i] = static_cast<wchar_t>(cp);
    } else {
      out[i] = static_cast<wchar_t>(c.codePoint);  // whole code point: wchar_t holds 32 bits
    }
    out[i + 1] = 0;
    pos += static_cast<size_t>(c.length);
    ++i;
  }
  return i;
}

size_t WideToUtf8(const wchar_t* wide, char* out, size_t limit) {
  if (out == nullptr || limit == 0) return 0;
  out[0] = '\0';
  if (wide == nullptr) return 0;
  size_t written = 0;
  for (const wchar_t* w = wide; *w != 0; ++w) {
    auto cp = static_cast<uint32_t>(*w);
    // UTF-16: a surrogate pair is one character (a lone surrogate is
    // written as its own value, as a 32-bit unit would be).
    if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp <= 0xDBFF && w[1] >= 0xDC00 && w[1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(w[1]) - 0xDC00);
      ++w;
    }
    char sequence[6];
    const size_t n = EncodeUtf8Char(cp, sequence);
    if (written + n >= limit) break;
    std::memcpy(out + written, sequence, n);
    written += n;
    out[written] = '\0';
  }
  return written;
}

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

namespace xml {

bool XmlAllows(uint32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

std::optional<std::pair<uint32_t, size_t>> ParseCharacterReference(std::string_view s, size_t pos) {
  if (s.substr(pos, 2) != "&#") return std::nullopt;
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

uint32_t Windows1252ToUnicode(unsigned char byte) {
  static constexpr uint16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  return byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte;
}

std::optional<std::string> RepairText(std::string_view xml) {
  std::string out;
  bool changed = false;
  size_t copied = 0;  // bytes of xml already in out (or to be copied as they are)
  auto replace = [&](size_t pos, size_t len, std::string_view with) {
    if (!changed) out.reserve(xml.size() + 64);
    changed = true;
    out.append(xml.substr(copied, pos - copied));
    out.append(with);
    copied = pos + len;
  };
  for (size_t pos = 0; pos < xml.size();) {
    // Nearly all of a large answer is plain text: skip it a word at a time.
    while (pos + 8 <= xml.size() && AllPlain(xml.data() + pos)) pos += 8;
    if (pos >= xml.size()) break;
    const auto c = static_cast<unsigned char>(xml[pos]);
    if (c >= 0x20 && c < 0x80) {
      if (c == '&') {
        if (const auto ref = ParseCharacterReference(xml, pos); ref && !XmlAllows(ref->first)) {
          replace(pos, ref->second, kReplacement);
          pos += ref->second;
          continue;
        }
      }
      ++pos;
    } else if (c < 0x20) {
      if (c != '\t' && c != '\n' && c != '\r') replace(pos, 1, kReplacement);
      ++pos;
    } else if (const auto [cp, len] = DecodeUtf8KeepingSurrogates(xml, pos); len != 0) {
      if (!XmlAllows(cp)) replace(pos, len, kReplacement);
      pos += len;
    } else {
      std::string decoded;
      AppendUtf8(decoded, Windows1252ToUnicode(c));
      replace(pos, 1, decoded);
      ++pos;
    }
  }
  if (!changed) return std::nullopt;
  out.append(xml.substr(copied));
  return out;
}

}  // namespace xml
}  // namespace ferro
