#include "engine/monitoring.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "config/config_values.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "engine/events.h"
#include "net/transport.h"
#include "platform/tick.h"
#include "protocol/agent_decoder.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

// Guarded by AgentTableLock(); in insertion order, one node per address.
std::vector<WatchedAgent>& AgentTable() {
  static auto* table = new std::vector<WatchedAgent>;
  return *table;
}

bool SameAddress(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, 4) == 0; }

// Watched by address only (all six bytes zero): many real vendor prefixes
// start with 00, so a first byte of 0 says nothing.
bool MacUnknown(const AgentRecord& record) {
  return std::all_of(std::begin(record.macAddr), std::end(record.macAddr),
                     [](uint8_t b) { return b == 0; });
}

// A watched agent turned dead or alive again, as an event.
EngineEvent LifeEvent(const AgentRecord& record, bool alive) {
  EngineEvent event;
  event.kind = alive ? "agent_alive" : "agent_dead";
  event.mac = MacOf(record.macAddr);
  event.address = AddressText(record.agentIpAddr);
  const std::string name = RecordText(record.systemName, sizeof record.systemName);
  event.text = (name.empty() ? event.address : name + " (" + event.address + ")") +
               (alive ? " answers again" : " stopped answering");
  if (!name.empty()) event.fields["name"] = name;
  return event;
}

// The node has answered: it is alive and its miss count starts over. An
// agent that was dead is announced alive (after the table's lock).
void Accept(WatchedAgent& node, std::vector<EngineEvent>& events, std::vector<AgentNote>& notes) {
  if (EventsWanted()) {
    if (node.isAlive == 0) events.push_back(LifeEvent(node.record, true));
    notes.push_back(AnsweredNote(node.record.macAddr, &node.record, 0));
  }
  node.recvFlag = 1;
  node.missCount = 0;
  node.isAlive = 1;
}

void EmitAll(std::vector<EngineEvent>& events) {
  for (EngineEvent& e : events) EmitEvent(std::move(e));
}

void RefreshLocked(const ReceivedPacket& packet, size_t length, uint32_t interval,
                   const uint8_t* source, std::vector<EngineEvent>& events,
                   std::vector<AgentNote>& notes);

}  // namespace

int AddWatchedAgent(const AgentRecord& record) {
  std::lock_guard lock(AgentTableLock());
  auto& table = AgentTable();
  if (std::any_of(table.begin(), table.end(), [&](const WatchedAgent& node) {
        return SameAddress(node.record.agentIpAddr, record.agentIpAddr);
      })) {
    return 0;
  }
  WatchedAgent node;
  node.record = record;
  table.push_back(node);
  return 1;
}

int RemoveWatchedAgent(const uint8_t* address) {
  std::lock_guard lock(AgentTableLock());
  auto& table = AgentTable();
  const auto it = std::find_if(table.begin(), table.end(), [&](const WatchedAgent& node) {
    return SameAddress(node.record.agentIpAddr, address);
  });
  if (it != table.end()) table.erase(it);
  return 1;
}

int GetWatchedAgent(size_t index, WatchedAgent& out) {
  std::lock_guard lock(AgentTableLock());
  if (index >= AgentTable().size()) return 0;
  out = AgentTable()[index];
  return 1;
}

bool GetFirstWatchedAgents(int count, std::vector<WatchedAgent>& out) {
  for (int i = 0; i < count; ++i) {
    if (GetWatchedAgent(static_cast<size_t>(i), out.emplace_back()) == 0) {
      out.pop_back();
      return false;
    }
  }
  return true;
}

int ClearWatchedAgents() {
  std::lock_guard lock(AgentTableLock());
  AgentTable().clear();
  return 1;
}

size_t WatchedAgentCount() {
  std::lock_guard lock(AgentTableLock());
  return AgentTable().size();
}

WatchedAgentCounts CountWatchedAgents() {
  std::lock_guard lock(AgentTableLock());
  WatchedAgentCounts counts;
  for (const auto& node : AgentTable()) {
    ++counts.watched;
    if (node.isAlive != 0) ++counts.alive;
  }
  return counts;
}

void RefreshWatchedAgent(const ReceivedPacket& packet) {
  const auto length = static_cast<size_t>(packet.length);
  const uint32_t interval = EffectiveMonitorIntervalMs();
  uint8_t source[4];
  std::memcpy(source, &packet.sourceIp, sizeof source);
  std::vector<EngineEvent> events;
  std::vector<AgentNote> notes;
  RefreshLocked(packet, length, interval, source, events, notes);
  EmitAll(events);
  for (AgentNote& note : notes) EmitAgentNote(std::move(note));
}

namespace {

void RefreshLocked(const ReceivedPacket& packet, size_t length, uint32_t interval,
                   const uint8_t* source, std::vector<EngineEvent>& events,
                   std::vector<AgentNote>& notes) {
  std::lock_guard lock(AgentTableLock());
  for (WatchedAgent& node : AgentTable()) {
    // Replies count only within one interval after the node's last poll,
    // and not before its first poll.
    const bool in_window =
        node.lastPollTick != 0 && TickSince(packet.rxTick, node.lastPollTick) < interval;
    if (std::memcmp(node.record.macAddr, packet.agentMac, kMacSize) == 0) {
      if (in_window) {
        // The agent may have moved: its record starts over from the reply,
        // whose address item (if any) overrides the source address. The
        // body is the one the other handlers of this reply decoded.
        AgentRecord scratch;
        const AgentRecord* fresh = DecodedBody(packet.data, length, scratch);
        if (fresh == nullptr) return;  // malformed
        node.record = *fresh;
        if (std::all_of(std::begin(node.record.agentIpAddr), std::end(node.record.agentIpAddr),
                        [](uint8_t b) { return b == 0; })) {
          std::memcpy(node.record.agentIpAddr, source, sizeof node.record.agentIpAddr);
        }
        Accept(node, events, notes);
      }
      return;
    }
    if (SameAddress(node.record.agentIpAddr, source) && MacUnknown(node.record)) {
      if (in_window) {
        // First reply of an agent watched by address only: it tells its MAC.
        // The reply's items (and its modes, absent unless an item says
        // otherwise) replace what was known; the other fields stay.
        AgentRecord scratch;
        CarriedFields carried;
        const AgentRecord* fresh = DecodedBody(packet.data, length, scratch, &carried);
        if (fresh == nullptr) return;  // malformed
        node.record.dhcpMode = node.record.lldpMode = node.record.snmpMode = kModeAbsent;
        CopyCarriedFields(*fresh, carried, node.record);
        Accept(node, events, notes);
      }
      return;
    }
  }
}

}  // namespace

void MonitorPollPass() {
  uint8_t request[kMaxPacketSize] = {};
  const uint16_t sequence = NextSequence();
  BuildPacketHeader(kOpKeepAlive, request);
  SetPacketSequence(request, sequence);
  const uint32_t interval = EffectiveMonitorIntervalMs();

  std::vector<EngineEvent> events;
  std::vector<AgentNote> silent;
  {
    std::lock_guard lock(AgentTableLock());
    for (WatchedAgent& node : AgentTable()) {
      const uint32_t now = GetTick();
      // A node never polled (lastPollTick 0) is due at once.
      if (node.lastPollTick != 0 && !TickElapsed(now, node.lastPollTick, interval)) continue;
      if (node.recvFlag == 1) {
        node.recvFlag = 0;
        node.missCount = 0;
        node.isAlive = 1;
      } else if (++node.missCount >= 3) {
        if (node.isAlive != 0 && EventsWanted()) {
          events.push_back(LifeEvent(node.record, false));
          AgentNote note;
          note.what = AgentNote::What::kSilent;
          note.mac = MacOf(node.record.macAddr);
          silent.push_back(std::move(note));
        }
        node.isAlive = 0;
      }
      uint32_t address;
      std::memcpy(&address, node.record.agentIpAddr, sizeof address);
      SendToAgent(address, request, kPacketHeaderSize);
      node.lastPollTick = now != 0 ? now : 1;  // 0 means "never polled"
    }
  }
  // Told after the table's lock, so that the table never waits on them.
  EmitAll(events);
  for (AgentNote& note : silent) EmitAgentNote(std::move(note));
}

}  // namespace ferro
