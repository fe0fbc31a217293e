#pragma once
// Discovery and the matching of replies to requests.
//
// Every request that expects replies is registered as an ActionEntry in the
// ActionList before it is sent. Discovery replies (opcodes 2 and 12) are
// matched by sequence and opcode and counted once per agent MAC; command
// replies are matched by sequence, opcode and the agent's MAC and complete
// their command. Entries expire after their time-out.
//
// The DiscoveryList holds the agents that answered the latest discovery.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/engine_state.h"
#include "net/received_packet.h"
#include "protocol/agent_decoder.h"
#include "protocol/agent_record.h"

namespace ferro {

inline constexpr uint32_t kDiscoveryTimeoutMs = 3000;
inline constexpr uint32_t kCommandTimeoutMs = 50000;
// Agents one discovery takes in, and the most the DiscoveryList holds;
// replies from further new MACs are dropped (with one log line).
inline constexpr size_t kMaxDiscoveryAgents = 65536;

// Appends `entry` to the ActionList (under ActionListLock), stamping its
// sendTick with the current tick. Call before sending the request.
void RegisterAction(std::unique_ptr<ActionEntry> entry);

// The pending-request entry of a discovery with `sequence`: replies with
// opcode 2 or 12 are collected for kDiscoveryTimeoutMs.
std::unique_ptr<ActionEntry> MakeDiscoveryEntry(uint16_t sequence, ActionCallback callback,
                                                void* param);

// Sends one discovery request (a bare header, opcode 1) by broadcast and
// multicast from every local address, registered to collect replies for
// kDiscoveryTimeoutMs. Returns the result of SendToAll: non-zero when at
// least one copy left.
int DiscoverAgents(ActionCallback callback, void* param);
// Decodes a discovery reply and appends it to the DiscoveryList. Returns 1.
int32_t DiscoveryCallback(const uint8_t* packet, int32_t length, void* param);

// The DiscoveryList, each call under DiscoveryListLock.
void ClearDiscoveryList();
void CopyDiscoveryList(std::vector<AgentRecord>& out);  // appends, in list order
// Replaces `out` with the list, unless the list is unchanged since the copy
// that `version` (updated here) was taken with: true when it copied. A
// fresh `version` of ~0 always copies.
bool CopyDiscoveryListIfChanged(std::vector<AgentRecord>& out, uint64_t& version);
void AddToDiscoveryList(const AgentRecord& record);
// Erases every entry whose agentIpAddr and macAddr both equal the record's.
void RemoveFromDiscoveryList(const AgentRecord& record);
// Merges an agent's reply (header first) into the first entry with the
// header's agent MAC: the fields the reply carries replace the entry's, the
// others stay. Nothing when no entry has that MAC or the reply is malformed.
void UpdateDiscoveryEntry(const uint8_t* packet, size_t length);
// The same for a reply already decoded, with the fields its items carried.
void UpdateDiscoveryEntry(const AgentRecord& reply, const CarriedFields& carried);
size_t DiscoveryListSize();

// Packet handlers (PacketProcessThread), for replies whose cookie the
// router has checked.
void HandleDiscoveryReply(const ReceivedPacket& packet);
void HandleCommandReply(const ReceivedPacket& packet);
// A command reply whose cookie is not ours: one limited log line.
void ReportInvalidCommandReply(const ReceivedPacket& packet);

// Removes every entry older than its time-out, except keep-alive entries
// (request opcode 5). Run at engine start and every 30 s.
void ExpireActions();
// Tells the history of each discovery run whose window has closed (how
// many agents answered), once; run once a second.
void ReportFinishedDiscoveries();

}  // namespace ferro
