#pragma once
// Text as every layer handles it: UTF-8 read and written, the checks and the
// repair that make text fit to stand in XML, and comparison without regard
// to ASCII case. One module, so that a byte sequence is judged the same way
// wherever it is met. Where callers must treat bad bytes differently (a
// fault reason writes '?' per byte, an answer reads them as Windows-1252, an
// agent's name keeps the loose form it always had), the variant is named
// here rather than written again at the caller.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ferro {

// ---- UTF-8, strict

// One sequence read at a position: its code point and length in bytes;
// length 0 when the bytes there are not one.
struct Utf8Sequence {
  uint32_t code_point = 0;
  size_t length = 0;
};

// The UTF-8 sequence at s[pos] (pos < s.size()), read strictly: an ASCII
// byte, or a lead byte C2-F4 followed by its continuation bytes, neither an
// overlong form nor a value past U+10FFFF nor an encoded surrogate.
Utf8Sequence DecodeUtf8(std::string_view s, size_t pos);
// The same, but an encoded surrogate (ED A0-BF xx) is read as its code
// point, for a caller that judges it as one character (the XML repair
// replaces the three bytes with one U+FFFD).
Utf8Sequence DecodeUtf8KeepingSurrogates(std::string_view s, size_t pos);

// Writes 1 to 6 bytes for `codePoint` into `out` (room for 6) and returns
// the count. Values past U+10FFFF get the old 5- and 6-byte forms, which
// agents' names may hold.
size_t EncodeUtf8Char(uint32_t codePoint, char* out);
// Appends `cp` (at most U+10FFFF; the caller rejects anything else) as UTF-8.
void AppendUtf8(std::string& out, uint32_t cp);

// ---- UTF-8, loose: agents' names

// One UTF-8 character from at most `available` bytes. Continuation bytes
// give their low 6 bits unchecked; lead bytes 0x00-0xBF are one byte. The
// length is 0 when the sequence is cut short by a NUL or by `available`.
struct Utf8Char {
  uint32_t codePoint = 0;
  int length = 0;
};
Utf8Char DecodeUtf8Char(const char* bytes, size_t available);

// UTF-8 (at most `size` bytes, up to a NUL) to wide units, one whole code
// point per unit, read with DecodeUtf8Char. Where wchar_t has 16 bits the
// units are UTF-16: a character past U+FFFF takes two, written whole or not
// at all. Writes at most limit - 1 units and keeps a zero unit after them;
// returns the units written. `out` holds `limit` units.
size_t Utf8ToWide(const char* utf8, size_t size, wchar_t* out, size_t limit);

// Wide units (each a code point, or UTF-16 where wchar_t has 16 bits; up to
// a zero unit) to UTF-8 with
// EncodeUtf8Char: at most limit - 1 bytes plus NUL, never a partial
// character. `out` holds `limit` bytes. Returns the bytes written before
// the NUL.
size_t WideToUtf8(const wchar_t* wide, char* out, size_t limit);

// ---- ASCII

// The value of a hexadecimal digit of either case, or -1 for any other byte.
inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `c` with an ASCII capital letter made small; any other byte as it is.
inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Whether `a` and `b` are equal when ASCII letters are compared without
// regard to case (HTTP header names, origins); other bytes compare as they
// are.
bool IEquals(std::string_view a, std::string_view b);

// ---- XML

namespace xml {

// Whether XML 1.0 allows the character in a document.
bool XmlAllows(uint32_t code_point);

// The code point of the numeric character reference ("&#...;" or
// "&#x...;", at most 8 digits) that starts at s[pos], and its length; nothing
// when none does.
std::optional<std::pair<uint32_t, size_t>> ParseCharacterReference(std::string_view s, size_t pos);

// The Unicode code point of a Windows-1252 byte (bytes the code page leaves
// undefined map to the code point of the same value).
uint32_t Windows1252ToUnicode(unsigned char byte);

// Makes serialised XML text well-formed: a byte sequence that is not UTF-8 is
// read as Windows-1252 (the code page of agents that send such bytes), and a
// character that XML 1.0 does not allow (control characters, surrogates,
// U+FFFE and U+FFFF), raw or as a character reference, becomes U+FFFD.
// Returns nothing when the text is fine as it is.
std::optional<std::string> RepairText(std::string_view xml);

}  // namespace xml
}  // namespace ferro
