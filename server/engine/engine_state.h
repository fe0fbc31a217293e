#pragma once
// The engine's process-wide containers and their locks. Every lock and
// container exists from the first use on (in practice: process start), so an
// operation that runs before the engine starts works on empty lists under
// real locks. Records are copied in and out whole; nothing outside a list
// keeps a pointer into it.
//
// Lock order. Locks nest only in rising rank (ordered_mutex.h stops the
// process at the first wrong nesting):
//   SetVec -> ActionList -> AgentTable -> TftpSession -> AdapterSocket ->
//   ReceiveSocket -> PacketQueue | TransferQueue -> DiscoveryList ->
//   TrapRecord -> Sequence
// which keeps every nesting the engine uses: ActionList -> AgentTable ->
// AdapterSocket -> ReceiveSocket -> queue lock; ActionList -> DiscoveryList;
// SetVec -> DiscoveryList; TftpSession -> AdapterSocket. DiscoveryList,
// TrapRecord and Sequence are innermost.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <unordered_set>
#include <vector>

#include "net/lock_ranks.h"
#include "net/packet_queue.h"
#include "net/received_packet.h"
#include "platform/ordered_mutex.h"

namespace ferro {

// The engine's ranks; 5..8 are the transport's (net/lock_ranks.h).
enum LockRank : int {
  kRankSetVec = 1,
  kRankActionList = 2,
  kRankAgentTable = 3,
  kRankTftpSession = 4,
  kRankDiscoveryList = kRankAboveTransport,
  kRankTrapRecord,
  kRankSequence,
};
static_assert(kRankTftpSession < kRankAdapterSocket);

// Locks of containers defined beside the code that fills them (AgentTable,
// TftpSessionList, g_setVec, DiscoveryList). The transport's two locks are in
// net/transport.h, the queues and their locks in net/packet_queue.h.
OrderedMutex& ActionListLock();
OrderedMutex& AgentTableLock();
OrderedMutex& TftpSessionLock();
OrderedMutex& SetVecLock();
OrderedMutex& DiscoveryListLock();
OrderedMutex& TrapRecordLock();

// One request awaiting replies.
using ActionCallback = int32_t (*)(const uint8_t* packet, int32_t length, void* param);
struct ActionEntry {
  uint32_t sendTick = 0;   // tick when the entry was made
  uint32_t timeoutMs = 0;  // replies accepted while now - sendTick < timeoutMs
  uint16_t requestOpcode = 0;
  uint16_t replyOpcode = 0;
  uint16_t altReplyOpcode = 0;  // 0: none
  uint16_t sequence = 0;
  std::array<uint8_t, kMacSize> agentMac{};               // all zero for discovery
  std::vector<std::array<uint8_t, kMacSize>> responders;  // in answer order
  std::unordered_set<uint64_t> responderKeys;             // the same MACs, for lookup
  ActionCallback callback = nullptr;
  void* param = nullptr;
  // Owns `param` when it must be freed with the entry (the "paramOwned" case).
  std::shared_ptr<void> ownedParam;
  int32_t cancelled = 0;     // non-zero suppresses the callback
  bool runReported = false;  // a discovery run's end was told to the history
  int64_t sendWallMs = 0;    // wall-clock ms when the entry was made, for the history

  // Records `mac` as having answered; false when it had answered already,
  // or when `limit` agents have answered and `mac` is a new one (counted in
  // refusedResponders). Constant time, so a burst of thousands of replies
  // stays cheap.
  bool AddResponder(const uint8_t* mac, size_t limit = SIZE_MAX);
  uint32_t refusedResponders = 0;
};
// Guarded by ActionListLock(); in registration order.
std::list<std::unique_ptr<ActionEntry>>& ActionList();

// One received trap, as the trap handler records it.
struct TrapRecord {
  char time[20] = {};
  char ip[20] = {};
  char location[21] = {};
  char string[256] = {};
};
// Guarded by TrapRecordLock(); in arrival order, at most kMaxTrapRecords
// (the trap handler drops the oldest to make room).
inline constexpr size_t kMaxTrapRecords = 10000;
std::deque<TrapRecord>& TrapRecordList();
// Traps received since process start; never reset.
std::atomic<uint32_t>& TrapCount();

// The process-wide packet sequence: 1, 2, ..., 65535, 1, ... (never 0).
uint16_t NextSequence();

// The trap handler and its parameter, called for every trap packet.
using TrapCallbackFn = int32_t (*)(const uint8_t* packet, int32_t length, void* param);
struct TrapCallbackSlot {
  TrapCallbackFn function = nullptr;
  void* param = nullptr;
};
int SetTrapCallback(TrapCallbackFn function, void* param);
TrapCallbackSlot GetTrapCallback();

}  // namespace ferro
