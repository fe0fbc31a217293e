// Fuzzes the text parsers of the SwitchInfo conversion and the code page:
// address and MAC text, UTF-8 in both directions, Windows-1252.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codepage.h"
#include "platform/text.h"
#include "service/switchinfo_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ferro;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::array<uint8_t, 4> ip = ParseIpText(text);
  if (ParseIpText(FormatIpText(ip.data())) != ip) std::abort();
  // What the strict form accepts, the lenient one reads the same way.
  if (const auto exact = ParseIpTextExact(text); exact && *exact != ip) std::abort();
  if (ParseIpTextExact(FormatIpText(ip.data())) != ip) std::abort();

  uint8_t mac[6] = {};
  if (ParseMacText(text, mac) == 0) {
    std::string upper(text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (FormatMacText(mac) != upper) std::abort();
  }

  // UTF-8 -> wide -> UTF-8 within the 21-unit / 21-byte name limits.
  std::vector<char> exact(text.begin(), text.end());  // no NUL: the bound must hold
  wchar_t wide[21] = {};
  const size_t units = Utf8ToWide(exact.data(), exact.size(), wide, 21);
  if (units > 20 || wide[units] != 0) std::abort();
  char utf8[21];
  const size_t bytes = WideToUtf8(wide, utf8, sizeof utf8);
  if (bytes > 20 || utf8[bytes] != '\0' || std::strlen(utf8) != bytes) std::abort();

  // The input as raw wide units, any 32-bit value.
  std::wstring units32(size / sizeof(wchar_t), L'\0');
  std::memcpy(units32.data(), data, units32.size() * sizeof(wchar_t));
  char out[21];
  if (WideToUtf8(units32.c_str(), out, sizeof out) > 20) std::abort();
  if (WideToAnsi(units32, 20).size() > 20) std::abort();
  if (AnsiToWide(text, 21).size() > 21) std::abort();
  return 0;
}
