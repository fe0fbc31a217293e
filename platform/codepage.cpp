#include "platform/codepage.h"

#include <iconv.h>

#include <array>
#include <cstdint>

namespace ferro {
namespace {

// The code point of every byte of the code page, built once through iconv.
// Bytes that iconv cannot decode (undefined in the code page, or no iconv
// module at all) map to the code point of the same value.
std::array<char32_t, 256> BuildTable() {
  std::array<char32_t, 256> table{};
  for (size_t b = 0; b < table.size(); ++b) table[b] = static_cast<char32_t>(b);
  iconv_t cd = iconv_open("UTF-32LE", kAnsiCodePage);
  if (cd == reinterpret_cast<iconv_t>(-1)) return table;
  for (size_t b = 0x80; b < table.size(); ++b) {
    char in[1] = {static_cast<char>(b)};
    unsigned char out[4] = {};
    char* inPtr = in;
    char* outPtr = reinterpret_cast<char*>(out);
    size_t inLeft = 1, outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) && outLeft == 0) {
      table[b] = static_cast<char32_t>(out[0] | (out[1] << 8) | (out[2] << 16) | (out[3] << 24));
    }
  }
  iconv_close(cd);
  return table;
}

const std::array<char32_t, 256>& Table() {
  static const std::array<char32_t, 256> table = BuildTable();
  return table;
}

char EncodeOne(char32_t cp) {
  const auto& table = Table();
  for (size_t b = 0; b < table.size(); ++b) {
    if (table[b] == cp) return static_cast<char>(b);
  }
  return '?';
}

}  // namespace

std::string WideToAnsi(std::wstring_view text, size_t maxBytes) {
  std::string out;
  for (wchar_t w : text) {
    if (w == 0 || out.size() >= maxBytes) break;
    out.push_back(EncodeOne(static_cast<char32_t>(w)));
  }
  return out;
}

std::wstring AnsiToWide(std::string_view bytes, size_t maxUnits) {
  const auto& table = Table();
  std::wstring out;
  for (char c : bytes) {
    if (c == '\0' || out.size() >= maxUnits) break;
    out.push_back(static_cast<wchar_t>(table[static_cast<uint8_t>(c)]));
  }
  return out;
}

}  // namespace ferro
