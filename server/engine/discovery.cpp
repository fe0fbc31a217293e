#include "engine/discovery.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "engine/engine.h"
#include "engine/events.h"
#include "net/transport.h"
#include "platform/diag.h"
#include "platform/memory.h"
#include "platform/tick.h"
#include "protocol/agent_decoder.h"
#include "protocol/packet.h"

namespace ferro {
namespace {

std::vector<AgentRecord>& DiscoveryList() {
  static auto* list = new std::vector<AgentRecord>;
  return *list;
}
// Whether the full list has said so since it was last cleared; guarded by
// DiscoveryListLock.
bool g_listFullReported = false;
// Counts the list's changes, so that a reader can tell that its copy is
// still current; guarded by DiscoveryListLock.
uint64_t g_listVersion = 0;
// Clearing a list this long hands its memory back to the system.
constexpr size_t kLargeDiscoveryList = 1024;

bool Expired(const ActionEntry& entry, uint32_t tick) {
  return TickElapsed(tick, entry.sendTick, entry.timeoutMs);
}

bool SameMac(const uint8_t* a, const uint8_t* b) { return std::memcmp(a, b, kMacSize) == 0; }

// A discovery run whose window closed, to be told after the list's lock.
struct FinishedRun {
  size_t answered = 0;
  uint32_t ageMs = 0;  // since the request went out
};

// Marks a user's discovery run (not an upload's search for its agent) as
// told, once; with ActionListLock held.
void TakeFinishedRun(ActionEntry& entry, uint32_t now, std::vector<FinishedRun>& out) {
  if (entry.requestOpcode != kOpDiscover || entry.callback != DiscoveryCallback ||
      entry.runReported) {
    return;
  }
  entry.runReported = true;
  out.push_back({entry.responders.size(), now - entry.sendTick});
}

void TellFinishedRuns(const std::vector<FinishedRun>& runs) {
  if (!EventsWanted()) return;
  const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  for (const FinishedRun& run : runs) {
    EngineEvent event;
    event.kind = "discovery";
    event.text = "discovery: " + std::to_string(run.answered) +
                 (run.answered == 1 ? " agent answered" : " agents answered");
    event.fields = {{"answered", run.answered}};
    EmitEvent(std::move(event));
    AgentNote note;
    note.what = AgentNote::What::kDiscoveryEnded;
    note.startedMs = nowMs - run.ageMs;
    EmitAgentNote(std::move(note));
  }
}

}  // namespace

void ReportFinishedDiscoveries() {
  std::vector<FinishedRun> runs;
  {
    const uint32_t now = GetTick();
    std::lock_guard lock(ActionListLock());
    for (auto& entry : ActionList()) {
      if (Expired(*entry, now)) TakeFinishedRun(*entry, now, runs);
    }
  }
  TellFinishedRuns(runs);
}

void RegisterAction(std::unique_ptr<ActionEntry> entry) {
  std::lock_guard lock(ActionListLock());
  entry->sendTick = GetTick();
  ActionList().push_back(std::move(entry));
}

std::unique_ptr<ActionEntry> MakeDiscoveryEntry(uint16_t sequence, ActionCallback callback,
                                                void* param) {
  auto entry = std::make_unique<ActionEntry>();
  entry->timeoutMs = kDiscoveryTimeoutMs;
  entry->requestOpcode = kOpDiscover;
  entry->replyOpcode = kOpDiscoverReply;
  entry->altReplyOpcode = kOpLoaderDiscoverReply;
  entry->sequence = sequence;
  entry->callback = callback;
  entry->param = param;
  return entry;
}

int DiscoverAgents(ActionCallback callback, void* param) {
  uint8_t buffer[kMaxPacketSize] = {};
  const uint16_t sequence = NextSequence();
  BuildPacketHeader(kOpDiscover, buffer);
  SetPacketSequence(buffer, sequence);

  RegisterAction(MakeDiscoveryEntry(sequence, callback, param));
  return SendToAll(buffer, kPacketHeaderSize);
}

int32_t DiscoveryCallback(const uint8_t* packet, int32_t length, void*) {
  AgentRecord scratch;
  const AgentRecord* record =
      DecodedBody(packet, static_cast<size_t>(std::max(length, 0)), scratch);
  if (record == nullptr) return 1;  // malformed: counted by the decoder, not listed
  AddToDiscoveryList(*record);
  if (EventsWanted()) {
    const PacketHeader h = ParsePacketHeader(packet, static_cast<size_t>(std::max(length, 0)));
    EmitAgentNote(AnsweredNote(h.agentMac, record, 0));
  }
  return 1;
}

void ClearDiscoveryList() {
  std::vector<AgentRecord> gone;
  {
    std::lock_guard lock(DiscoveryListLock());
    gone.swap(DiscoveryList());  // the capacity goes too, not just the records
    g_listFullReported = false;
    ++g_listVersion;
  }
  const bool large = gone.size() >= kLargeDiscoveryList;
  gone = {};
  if (large) ReleaseFreeMemory();
}

void CopyDiscoveryList(std::vector<AgentRecord>& out) {
  std::lock_guard lock(DiscoveryListLock());
  out.insert(out.end(), DiscoveryList().begin(), DiscoveryList().end());
}

bool CopyDiscoveryListIfChanged(std::vector<AgentRecord>& out, uint64_t& version) {
  std::lock_guard lock(DiscoveryListLock());
  if (version == g_listVersion) return false;
  out.assign(DiscoveryList().begin(), DiscoveryList().end());
  version = g_listVersion;
  return true;
}

void AddToDiscoveryList(const AgentRecord& record) {
  std::lock_guard lock(DiscoveryListLock());
  auto& list = DiscoveryList();
  if (list.size() >= kMaxDiscoveryAgents) {
    if (!g_listFullReported) {
      g_listFullReported = true;
      Diag("discovery list holds %zu agents: later agents dropped\n", kMaxDiscoveryAgents);
    }
    return;
  }
  list.push_back(record);
  ++g_listVersion;
}

void RemoveFromDiscoveryList(const AgentRecord& record) {
  std::lock_guard lock(DiscoveryListLock());
  if (std::erase_if(DiscoveryList(), [&](const AgentRecord& r) {
        return std::memcmp(r.agentIpAddr, record.agentIpAddr, sizeof r.agentIpAddr) == 0 &&
               SameMac(r.macAddr, record.macAddr);
      }) != 0) {
    ++g_listVersion;
  }
}

void UpdateDiscoveryEntry(const uint8_t* packet, size_t length) {
  const PacketHeader h = ParsePacketHeader(packet, length);
  std::lock_guard lock(DiscoveryListLock());
  auto& list = DiscoveryList();
  const auto it = std::find_if(list.begin(), list.end(), [&](const AgentRecord& r) {
    return SameMac(r.macAddr, h.agentMac);
  });
  if (it != list.end()) {
    AgentRecord merged = *it;
    if (MergeAgentPacket(packet, length, merged) != DecodeOutcome::kOk) return;
    *it = merged;
    ++g_listVersion;
  }
}

size_t DiscoveryListSize() {
  std::lock_guard lock(DiscoveryListLock());
  return DiscoveryList().size();
}

namespace {

void HandleDiscoveryReplyLocked(const ReceivedPacket& packet, std::vector<FinishedRun>& runs) {
  std::lock_guard lock(ActionListLock());
  auto& actions = ActionList();
  const auto it = std::find_if(actions.begin(), actions.end(), [&](const auto& entry) {
    return entry->sequence == packet.sequence &&
           (packet.opcode == entry->replyOpcode || packet.opcode == entry->altReplyOpcode);
  });
  if (it == actions.end()) return;
  ActionEntry& entry = **it;
  if (Expired(entry, packet.rxTick)) {
    TakeFinishedRun(entry, packet.rxTick, runs);
    actions.erase(it);  // a late reply ends its request
    return;
  }
  // Each agent counts once, and one discovery takes at most
  // kMaxDiscoveryAgents of them: a host that knows the sequence could
  // otherwise make up new MACs without end.
  if (!entry.AddResponder(packet.agentMac, kMaxDiscoveryAgents)) {
    if (entry.refusedResponders == 1) {
      Diag("discovery holds %zu agents: later new MACs dropped\n", kMaxDiscoveryAgents);
    }
    return;
  }
  if (entry.cancelled == 0 && entry.callback != nullptr) {
    entry.callback(packet.data, packet.length, entry.param);
  }
}

}  // namespace

void HandleDiscoveryReply(const ReceivedPacket& packet) {
  std::vector<FinishedRun> runs;
  HandleDiscoveryReplyLocked(packet, runs);
  TellFinishedRuns(runs);
}

void ReportInvalidCommandReply(const ReceivedPacket&) {
  // Any host can send these: the line is limited (platform/diag.h).
  static DiagLimit lines("a invalid hdp response packet received");
  lines.Print("a invalid hdp response packet received");
}

void HandleCommandReply(const ReceivedPacket& packet) {
  std::unique_ptr<ActionEntry> found;
  {
    std::lock_guard lock(ActionListLock());
    auto& actions = ActionList();
    const auto it = std::find_if(actions.begin(), actions.end(), [&](const auto& entry) {
      return entry->sequence == packet.sequence && entry->replyOpcode == packet.opcode;
    });
    if (it == actions.end()) return;
    if (Expired(**it, packet.rxTick)) {
      actions.erase(it);
      return;
    }
    if (!SameMac((*it)->agentMac.data(), packet.agentMac)) return;  // not its agent: keep waiting
    found = std::move(*it);
    actions.erase(it);
  }
  Diag("NULL != found_action\n");
  if (found->cancelled == 0 && found->callback != nullptr) {
    found->callback(packet.data, packet.length, found->param);
  }
}

void ExpireActions() {
  const uint32_t now = GetTick();
  std::vector<FinishedRun> runs;
  {
    std::lock_guard lock(ActionListLock());
    ActionList().remove_if([&](const auto& entry) {
      if (entry->requestOpcode == kOpKeepAlive || !Expired(*entry, now)) return false;
      TakeFinishedRun(*entry, now, runs);
      return true;
    });
  }
  TellFinishedRuns(runs);
}

}  // namespace ferro
