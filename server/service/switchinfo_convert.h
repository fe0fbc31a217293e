#pragma once
// Conversion between the service's SwitchInfo (texts, dotted addresses, MAC
// text, wide names) and the engine's AgentRecord, and the small text
// functions it is built from (the UTF-8 of names is platform/text.h's). All
// pure.

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

}  // namespace ferro
