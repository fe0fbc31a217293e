#pragma once
// Turns a received datagram (header plus TLV items) into AgentRecord fields.
// The only way agent data enters the engine.

#include <cstddef>
#include <cstdint>

#include "protocol/agent_record.h"

namespace ferro {

// Fills `record` from the `length` bytes of `packet`. The record is not
// cleared first: fields that no item mentions keep their value. Always
// sets the header-derived fields (versions, macAddr, isLoaderMode) and the
// three modes (2 unless an item says otherwise). Returns 1.
//
// Robustness: header bytes missing from a datagram shorter than 40 read as
// zero and such a datagram has no items; an item whose length field is
// below 4, or that would run past `length`, ends decoding; bytes beyond a
// short item's value read as zero; a text longer than its field is cut to
// the field's width - 1. Nothing outside the datagram or a field is touched.
int DecodeAgentPacket(const uint8_t* packet, size_t length, AgentRecord& record);

// Merges an agent's reply into what is known of it: the fields the reply's
// items carry replace those of `record`, every other field keeps its value
// (the three modes included: a reply without a mode item leaves the mode as
// it was). The header-derived fields are always taken, as above. A reply
// that is a bare header thus changes nothing but those.
void MergeAgentPacket(const uint8_t* packet, size_t length, AgentRecord& record);

}  // namespace ferro
