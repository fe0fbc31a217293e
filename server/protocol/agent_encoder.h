#pragma once
// Turns an AgentRecord into the TLV body of a settings command: only the
// items the agent announced in its function bitmap words are written.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/agent_record.h"

namespace ferro {

// How items 4, 5 and 6 (address, netmask, gateway) are filled: with DHCP the
// agent takes its address itself, so they carry 0.0.0.0. Any value other
// than kEncodeDhcp means static.
enum EncodeKind : int {
  kEncodeStatic = 4,
  kEncodeDhcp = 5,
};

// Writes the record's items into `packet` (a zero-filled buffer of
// kMaxPacketSize bytes whose header is already built) from byte 40 on.
// Returns the number of item bytes written; the request is 40 + that long.
size_t EncodeAgentTlvs(const AgentRecord& record, int kind, uint8_t* packet);

// Writes item 9 with `oldText` then item 8 with `newText` from byte 40 on,
// both always (an empty text gives a 4-byte item). Returns the sum of the
// two item lengths; an item that would not fit the buffer is left out.
size_t AppendPasswordTlvs(std::string_view oldText, std::string_view newText, uint8_t* packet);

// Writes one item 9 from byte 40 holding exactly `length` bytes of `text`.
// Returns length + 4, or 0 when it would not fit in the buffer.
size_t AppendPasswordTlv(const char* text, size_t length, uint8_t* packet);

}  // namespace ferro
