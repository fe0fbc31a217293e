// The ANSI code page on Windows: the system's own conversions with the PC's
// code page (CP_ACP), which may be a double-byte one or UTF-8. Wide text is
// UTF-16 here, so a character outside the Basic Multilingual Plane is a
// surrogate pair of two units, converted and cut as one.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/codepage.h"

namespace ferro {
namespace {

bool IsHighSurrogate(wchar_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(wchar_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// A combining diacritical mark, which composes with the letter before it.
bool IsCombiningMark(wchar_t u) { return u >= 0x0300 && u <= 0x036F; }

// The units of the character that starts at text[i]: two for a surrogate
// pair, otherwise one (a lone surrogate too).
size_t UnitsAt(std::wstring_view text, size_t i) {
  return IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]) ? 2 : 1;
}

// UTF-8 as the ANSI code page takes no flags; every other code page takes
// the composition flags.
DWORD Flags(DWORD whenNotUtf8) { return GetACP() == CP_UTF8 ? 0 : whenNotUtf8; }

// The code-page bytes of text[from, to), or nothing when the system cannot
// convert them.
bool Convert(std::wstring_view text, size_t from, size_t to, std::string& out) {
  char buf[64];
  const int n = WideCharToMultiByte(CP_ACP, Flags(WC_COMPOSITECHECK | WC_NO_BEST_FIT_CHARS),
                                    text.data() + from, static_cast<int>(to - from), buf,
                                    sizeof buf, nullptr, nullptr);
  if (n <= 0) return false;
  out.assign(buf, static_cast<size_t>(n));
  return true;
}

// The code page's own stand-in for a character it lacks.
std::string DefaultChar() {
  CPINFO info{};
  if (!GetCPInfo(CP_ACP, &info) || info.DefaultChar[0] == 0) return "?";
  std::string out(1, static_cast<char>(info.DefaultChar[0]));
  if (info.DefaultChar[1] != 0) out.push_back(static_cast<char>(info.DefaultChar[1]));
  return out;
}

// At most this many marks are composed with one letter; more are converted
// on their own.
constexpr size_t kMaxMarks = 4;

}  // namespace

std::string WideToAnsi(std::wstring_view text, size_t maxBytes) {
  const size_t zero = text.find(L'\0');
  if (zero != std::wstring_view::npos) text = text.substr(0, zero);
  std::string out;
  std::string piece;
  // One letter and the marks after it at a time, so that a composed letter
  // is found and the text is cut only between whole characters of the code
  // page (a double-byte character is never halved).
  const bool utf8 = GetACP() == CP_UTF8;
  for (size_t i = 0; i < text.size() && out.size() < maxBytes;) {
    const size_t letter = i + UnitsAt(text, i);
    // A character beyond the first 65536 (or half of one) is in no ANSI
    // code page but UTF-8: one stand-in for the whole character, as for any
    // other character the code page lacks (some systems give one per unit).
    if (!utf8 && (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i]))) {
      piece = DefaultChar();
      if (out.size() + piece.size() > maxBytes) break;
      out += piece;
      i = letter;
      continue;
    }
    size_t end = letter;
    while (end < text.size() && end - letter < kMaxMarks && IsCombiningMark(text[end])) ++end;
    if (end > letter && Convert(text, i, end, piece) && out.size() + piece.size() <= maxBytes) {
      out += piece;
      i = end;
      continue;
    }
    // The letter alone: no marks follow, they do not fit, or they failed.
    if (!Convert(text, i, letter, piece) || out.size() + piece.size() > maxBytes) break;
    out += piece;
    i = letter;
  }
  return out;
}

std::wstring AnsiToWide(std::string_view bytes, size_t maxUnits) {
  const size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  if (bytes.empty() || maxUnits == 0) return {};
  // No character takes more than four bytes for a unit, so the bytes past
  // that cannot reach the result.
  if (maxUnits < bytes.size() / 4) bytes = bytes.substr(0, maxUnits * 4 + 4);
  // No code page gives more units than bytes.
  std::vector<wchar_t> buf(bytes.size());
  const int n =
      MultiByteToWideChar(CP_ACP, Flags(MB_PRECOMPOSED), bytes.data(),
                          static_cast<int>(bytes.size()), buf.data(), static_cast<int>(buf.size()));
  if (n <= 0) return {};
  size_t units = std::min(static_cast<size_t>(n), maxUnits);
  // A surrogate pair is kept whole or left out.
  if (units < static_cast<size_t>(n) && units > 0 && IsHighSurrogate(buf[units - 1])) --units;
  return std::wstring(buf.data(), units);
}

}  // namespace ferro
