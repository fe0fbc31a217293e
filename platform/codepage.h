#pragma once
// The PC's ANSI code page: the narrow character set of agent names that are
// not flagged as UTF-8. On Linux it is fixed to Windows-1252 (Western
// European); agents that keep their names in another code page need
// kAnsiCodePage changed. On Windows it is the PC's own ANSI code page, as
// the system reports it, which may take two bytes for a character.

#include <cstddef>
#include <string>
#include <string_view>

namespace ferro {

inline constexpr char kAnsiCodePage[] = "WINDOWS-1252";

// Wide text (one code point per unit; UTF-16 on Windows, where a surrogate
// pair is one character) to the code page, up to the first zero unit and at
// most `maxBytes` bytes, never a part of a character. A Latin base letter
// followed by a combining mark is composed first where the code page has the
// composed letter. Characters the code page lacks become '?'.
std::string WideToAnsi(std::wstring_view text, size_t maxBytes);

// Code-page bytes to wide text, up to the first NUL and at most `maxUnits`
// units (a surrogate pair is kept whole or left out). The five bytes that
// Windows-1252 leaves undefined map to the code point of the same value.
std::wstring AnsiToWide(std::string_view bytes, size_t maxUnits);

}  // namespace ferro
