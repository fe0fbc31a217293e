#pragma once
// Conversion between the service's SwitchInfo (texts, dotted addresses, MAC
// text, wide names) and the engine's AgentRecord, and the small text
// functions it is built from. All pure.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/agent_record.h"
#include "soapH.h"

namespace ferro {

// Fills the whole record from `info` (starting from zero bytes). Texts
// longer than their field are cut to the field's width - 1 bytes; a MAC
// text that does not parse leaves macAddr zero.
void SwitchInfoToAgentRecord(const ns__SwitchInfo& info, AgentRecord& out);

// Sets every member of `out` from the record. True when every text of `out`
// is well-formed XML text as it stands (see AnswerIsWellFormed): always so
// for an agent that sends printable ASCII.
bool AgentRecordToSwitchInfo(const AgentRecord& record, ns__SwitchInfo& out);

// Dotted decimal to 4 address bytes in network order. Up to four decimal
// integers separated by "." (each may have leading white space and a sign);
// each gives its low 8 bits; trailing text is ignored; missing numbers are 0.
std::array<uint8_t, 4> ParseIpText(std::string_view text);
// The strict form, for addresses a client names: exactly four decimal
// numbers of 0 to 255 (1 to 3 digits each) joined by ".", with white space
// allowed only around the whole. Nothing for any other text.
std::optional<std::array<uint8_t, 4>> ParseIpTextExact(std::string_view text);

// "XX-XX-XX-XX-XX-XX" (hex digits of either case) into 6 bytes: 0, or -1
// with `out` untouched when the text is not exactly that.
int32_t ParseMacText(std::string_view text, uint8_t* out);

std::string FormatIpText(const uint8_t* address);  // "192.168.0.1"
std::string FormatMacText(const uint8_t* mac);     // "00-1A-2B-3C-4D-5E"

// The same texts written into a caller's buffer, NUL-terminated: the IP text
// needs at most kIpTextSize bytes (its length is returned), the MAC text
// always kMacTextSize.
inline constexpr size_t kIpTextSize = 16;
inline constexpr size_t kMacTextSize = 18;
size_t FormatIpText(const uint8_t* address, char* out);
void FormatMacText(const uint8_t* mac, char* out);

// The 6 MAC bytes as one number: two records have the same MAC text exactly
// when they have the same key.
uint64_t MacKey(const uint8_t* mac);

// One UTF-8 character from at most `available` bytes. Continuation bytes
// give their low 6 bits unchecked; lead bytes 0x00-0xBF are one byte. The
// length is 0 when the sequence is cut short by a NUL or by `available`.
struct Utf8Char {
  uint32_t codePoint = 0;
  int length = 0;
};
Utf8Char DecodeUtf8Char(const char* bytes, size_t available);

// Writes 1 to 6 bytes for `codePoint` into `out` (room for 6) and returns
// the count.
size_t EncodeUtf8Char(uint32_t codePoint, char* out);

// UTF-8 (at most `size` bytes, up to a NUL) to wide units, one whole code
// point per unit. Writes at most limit - 1 units, each followed by a zero
// unit; returns the units written. `out` holds `limit` units.
size_t Utf8ToWide(const char* utf8, size_t size, wchar_t* out, size_t limit);

// Wide units (each a code point, up to a zero unit) to UTF-8: at most
// limit - 1 bytes plus NUL, never a partial character. `out` holds `limit`
// bytes. Returns the bytes written before the NUL.
size_t WideToUtf8(const wchar_t* wide, char* out, size_t limit);

}  // namespace ferro
