#pragma once
// The PC's ANSI code page: the narrow character set of agent names that are
// not flagged as UTF-8. Fixed to Windows-1252 (Western European); agents
// that keep their names in another code page need kAnsiCodePage changed.

#include <cstddef>
#include <string>
#include <string_view>

namespace ferro {

inline constexpr char kAnsiCodePage[] = "WINDOWS-1252";

// Wide text (one code point per unit) to the code page, up to the first zero
// unit and at most `maxBytes` bytes. A Latin base letter followed by a
// combining mark is composed first where the code page has the composed
// letter. Characters the code page lacks become '?'.
std::string WideToAnsi(std::wstring_view text, size_t maxBytes);

// Code-page bytes to wide text, up to the first NUL and at most `maxUnits`
// units. The five bytes the code page leaves undefined map to the code point
// of the same value.
std::wstring AnsiToWide(std::string_view bytes, size_t maxUnits);

}  // namespace ferro
