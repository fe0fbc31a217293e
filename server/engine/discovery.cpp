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

// The records in blocks of a fixed number each, every block one allocation
// made at its full size. A discovery adds thousands of 1.6 KB records in a
// burst: a vector would copy them all each time it grows and fault in two to
// three times the memory they need, and a node per record would scatter them
// between the small allocations made meanwhile, so that freeing them could
// not hand whole pages back to the system.
class DiscoveryRecords {
 public:
  static constexpr size_t kBlock = 1024;  // about 1.6 MB

  size_t size() const { return size_; }

  void push_back(const AgentRecord& record) {
    if (blocks_.empty() || blocks_.back().size() == kBlock) {
      blocks_.emplace_back();
      blocks_.back().reserve(kBlock);
    }
    blocks_.back().push_back(record);
    ++size_;
  }

  void AppendTo(std::vector<AgentRecord>& out) const {
    out.reserve(out.size() + size_);
    for (const auto& block : blocks_) out.insert(out.end(), block.begin(), block.end());
  }

  template <typename Match>
  AgentRecord* FindIf(Match match) {
    for (auto& block : blocks_) {
      const auto it = std::find_if(block.begin(), block.end(), match);
      if (it != block.end()) return &*it;
    }
    return nullptr;
  }

  // Removes the matching records, keeping the others in order; a block left
  // part-empty is not refilled, which costs some memory until the list is
  // cleared, never a copy of the rest.
  template <typename Match>
  size_t EraseIf(Match match) {
    size_t erased = 0;
    for (auto& block : blocks_) erased += std::erase_if(block, match);
    std::erase_if(blocks_, [](const auto& block) { return block.empty(); });
    size_ -= erased;
    return erased;
  }

  void swap(DiscoveryRecords& other) noexcept {
    blocks_.swap(other.blocks_);
    std::swap(size_, other.size_);
  }

 private:
  std::vector<std::vector<AgentRecord>> blocks_;
  size_t size_ = 0;
};

DiscoveryRecords& DiscoveryList() {
  static auto* list = new DiscoveryRecords;
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
  int64_t startedMs = 0;  // wall clock when the request went out
};

// Marks a user's discovery run (not an upload's search for its agent) as
// told, once; with ActionListLock held.
void TakeFinishedRun(ActionEntry& entry, std::vector<FinishedRun>& out) {
  if (entry.requestOpcode != kOpDiscover || entry.callback != DiscoveryCallback ||
      entry.runReported) {
    return;
  }
  entry.runReported = true;
  out.push_back({entry.responders.size(), entry.sendWallMs});
}

void TellFinishedRuns(const std::vector<FinishedRun>& runs) {
  if (!EventsWanted()) return;
  for (const FinishedRun& run : runs) {
    EngineEvent event;
    event.kind = "discovery";
    event.text = "discovery: " + std::to_string(run.answered) +
                 (run.answered == 1 ? " agent answered" : " agents answered");
    event.fields = {{"answered", run.answered}};
    EmitEvent(std::move(event));
    AgentNote note;
    note.what = AgentNote::What::kDiscoveryEnded;
    // Taken when the request went out, not worked back from now: the run
    // may be told a while after it ended, and every answer came after this.
    note.startedMs = run.startedMs;
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
      if (Expired(*entry, now)) TakeFinishedRun(*entry, runs);
    }
  }
  TellFinishedRuns(runs);
}

void RegisterAction(std::unique_ptr<ActionEntry> entry) {
  std::lock_guard lock(ActionListLock());
  entry->sendTick = GetTick();
  entry->sendWallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
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
  size_t cleared = 0;
  {
    DiscoveryRecords gone;
    {
      std::lock_guard lock(DiscoveryListLock());
      gone.swap(DiscoveryList());
      g_listFullReported = false;
      ++g_listVersion;
    }
    cleared = gone.size();
  }  // freed here, outside the lock
  if (cleared >= kLargeDiscoveryList) ReleaseFreeMemory();
}

void CopyDiscoveryList(std::vector<AgentRecord>& out) {
  std::lock_guard lock(DiscoveryListLock());
  DiscoveryList().AppendTo(out);
}

bool CopyDiscoveryListIfChanged(std::vector<AgentRecord>& out, uint64_t& version) {
  std::lock_guard lock(DiscoveryListLock());
  if (version == g_listVersion) return false;
  out.clear();
  DiscoveryList().AppendTo(out);
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
  if (DiscoveryList().EraseIf([&](const AgentRecord& r) {
        return std::memcmp(r.agentIpAddr, record.agentIpAddr, sizeof r.agentIpAddr) == 0 &&
               SameMac(r.macAddr, record.macAddr);
      }) != 0) {
    ++g_listVersion;
  }
}

void UpdateDiscoveryEntry(const uint8_t* packet, size_t length) {
  AgentRecord reply;
  CarriedFields carried;
  if (DecodeAgentPacket(packet, length, reply, carried) != DecodeOutcome::kOk) return;
  UpdateDiscoveryEntry(reply, carried);
}

void UpdateDiscoveryEntry(const AgentRecord& reply, const CarriedFields& carried) {
  std::lock_guard lock(DiscoveryListLock());
  AgentRecord* const known = DiscoveryList().FindIf(
      [&](const AgentRecord& r) { return SameMac(r.macAddr, reply.macAddr); });
  if (known != nullptr) {
    CopyCarriedFields(reply, carried, *known);
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
    TakeFinishedRun(entry, runs);
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
      TakeFinishedRun(*entry, runs);
      return true;
    });
  }
  TellFinishedRuns(runs);
}

}  // namespace ferro
