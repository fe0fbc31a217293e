#pragma once
// Turns a received datagram (header plus TLV items) into AgentRecord fields.
// The only way agent data enters the engine.

#include <bitset>
#include <cstddef>
#include <cstdint>

#include "protocol/agent_fields.h"
#include "protocol/agent_record.h"

namespace ferro {

// What decoding a datagram found. Anything but kOk is a malformed datagram:
// the record holds what was read before the fault, and callers drop it.
enum class DecodeOutcome : uint8_t {
  kOk,
  kTooShort,     // shorter than the 40-byte header (or no datagram at all)
  kItemOverrun,  // an item, or its 4-byte header, runs past the datagram
  kBadLength,    // an item's length field is below its own 4-byte header
};
inline constexpr size_t kDecodeOutcomeCount = 4;

// Fills `record` from the `length` bytes of `packet`. The record is not
// cleared first: fields that no item mentions keep their value. Always
// sets the header-derived fields (versions, macAddr, isLoaderMode) and the
// three modes (2 unless an item says otherwise).
//
// Robustness: header bytes missing from a datagram shorter than 40 read as
// zero and such a datagram has no items; an item whose length field is
// below 4, or that would run past `length`, ends decoding; bytes beyond a
// short item's value read as zero; a text longer than its field is cut to
// the field's width - 1. Nothing outside the datagram or a field is touched.
// Each malformed outcome is counted (MalformedPacketCount).
DecodeOutcome DecodeAgentPacket(const uint8_t* packet, size_t length, AgentRecord& record);

// The rows of kAgentFields whose value a datagram's items set.
using CarriedFields = std::bitset<std::size(kAgentFields)>;

// The same, also telling which fields the items set (an empty item that
// leaves its field as it was does not count), so that one decode can be
// merged into several records with CopyCarriedFields.
DecodeOutcome DecodeAgentPacket(const uint8_t* packet, size_t length, AgentRecord& record,
                                CarriedFields& carried);

// Makes `to` what MergeAgentPacket of the same datagram would have made it,
// from `from` (that datagram decoded) and the fields it carried: the
// header-derived fields and every carried field are copied, the rest keep
// their value.
void CopyCarriedFields(const AgentRecord& from, const CarriedFields& carried, AgentRecord& to);

// Merges an agent's reply into what is known of it: the fields the reply's
// items carry replace those of `record`, every other field keeps its value
// (the three modes included: a reply without a mode item leaves the mode as
// it was). The header-derived fields are always taken, as above. A reply
// that is a bare header thus changes nothing but those. Outcomes as above.
DecodeOutcome MergeAgentPacket(const uint8_t* packet, size_t length, AgentRecord& record);

// A short text for an outcome, for logs.
const char* DecodeOutcomeName(DecodeOutcome outcome);

// How many decodes since the process started ended with `reason` (0 for
// kOk, which is not counted), and all malformed ones together. Safe from
// any thread.
uint64_t MalformedPacketCount(DecodeOutcome reason);
uint64_t MalformedPacketTotal();

}  // namespace ferro
