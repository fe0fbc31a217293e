#pragma once
// Traps: events that agents report unasked (opcode 9 with an address and a
// text, opcode 16 with TLV items). Each one is recorded, counted and
// announced to the user interface with the notice "trap".

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/engine_state.h"
#include "net/received_packet.h"
#include "platform/keyed_counters.h"

namespace ferro {

// Packet handler (PacketProcessThread): hands the trap (its cookie checked
// by the router) to the registered trap callback.
void HandleTrapPacket(const ReceivedPacket& packet);
// Traps received, counted by the agent MAC of their header for the first
// kTrapCountedAgents agents; traps of later agents count as "other", so that
// a host sending traps under made-up MACs cannot grow the table. A key is
// TrapCounterKey of the MAC.
inline constexpr size_t kTrapCountedAgents = 1024;
const KeyedCounters& TrapsByAgent();
uint64_t TrapCounterKey(const uint8_t* mac);
void TrapCounterMac(uint64_t key, uint8_t* mac);

// Records one trap packet in the TrapRecordList and sends the notice. Returns 1.
int32_t TrapCallback(const uint8_t* packet, int32_t length, void* param);
// Writes the local time as "YYYY/MM/DD hh:mm:ss" into `buffer` (at most
// size - 1 characters and a NUL). Returns 0.
int FormatLocalTime(char* buffer, size_t size);
// Moves every waiting trap, in arrival order, to the end of `out`. Returns 1.
int TakeAllTraps(std::vector<TrapRecord>& out);
// One log line when traps were dropped from the full list since the last
// line, at most one a second (run after each pass of the
// PacketProcessThread, and once a second so that a flood's last drops are
// reported too).
void ReportDroppedTraps();

}  // namespace ferro
