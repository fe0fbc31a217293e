#pragma once
// The watched agents (AgentTable): each is polled with a keep-alive request
// once per monitor polling interval, counts as dead after three polls in a
// row without a reply, and has its record refreshed by every accepted reply.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/received_packet.h"
#include "protocol/agent_record.h"

namespace ferro {

struct WatchedAgent {
  AgentRecord record{};       // agentIpAddr is the table key
  uint32_t lastPollTick = 0;  // 0 until the first poll
  int32_t recvFlag = 0;       // a reply was accepted since the last poll
  int32_t missCount = 0;      // polls in a row that found no reply
  int32_t isAlive = 1;
};

// Each call holds AgentTableLock for its whole run.
// 1 when added (fresh state: never polled, alive); 0 when the address is
// already watched.
int AddWatchedAgent(const AgentRecord& record);
// Removes the node with that address (4 bytes, network order); always 1.
int RemoveWatchedAgent(const uint8_t* address);
// 1 and a copy of the node at `index` (insertion order); 0 past the end.
int GetWatchedAgent(size_t index, WatchedAgent& out);
// The first `count` nodes, fetched one position at a time as the table is at
// each fetch; false when the table has fewer (`out` then holds those found).
bool GetFirstWatchedAgents(int count, std::vector<WatchedAgent>& out);
int ClearWatchedAgents();
size_t WatchedAgentCount();
// How many agents are watched and how many of them are not counted as
// dead (isAlive 1), read together.
struct WatchedAgentCounts {
  size_t watched = 0;
  size_t alive = 0;
};
WatchedAgentCounts CountWatchedAgents();

// Packet handler for every reply opcode (PacketProcessThread).
void RefreshWatchedAgent(const ReceivedPacket& packet);
// One pass of the MonitorPollThread (every second): polls every node whose
// interval has run out and updates its miss count.
void MonitorPollPass();

}  // namespace ferro
