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
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_set>
#include <vector>

#include "net/received_packet.h"
#include "platform/event.h"
#include "platform/ordered_mutex.h"

namespace ferro {

enum LockRank : int {
  kRankSetVec = 1,
  kRankActionList = 2,
  kRankAgentTable = 3,
  kRankTftpSession = 4,
  kRankAdapterSocket = 5,
  kRankReceiveSocket = 6,
  kRankPacketQueue = 7,
  kRankTransferQueue = 8,
  kRankDiscoveryList = 9,
  kRankTrapRecord = 10,
  kRankSequence = 11,
};

// Locks of containers defined beside the code that fills them (AgentTable,
// TftpSessionList, g_setVec, DiscoveryList). The transport's two locks are in
// net/transport.h, the queue locks inside PacketQueue.
OrderedMutex& ActionListLock();
OrderedMutex& AgentTableLock();
OrderedMutex& TftpSessionLock();
OrderedMutex& SetVecLock();
OrderedMutex& DiscoveryListLock();
OrderedMutex& TrapRecordLock();

// A FIFO of received datagrams with its lock and auto-reset event. The
// producer appends (each under the lock) and signals once after it has
// released its own locks; the consumer takes records one at a time and owns
// each record it took.
class PacketQueue {
 public:
  PacketQueue(int rank, const char* name) : lock_(rank, name) {}

  void Append(std::unique_ptr<ReceivedPacket> packet);
  void Signal() { event_.Set(); }
  // Oldest record, or nullptr when the queue is empty.
  std::unique_ptr<ReceivedPacket> TryTake();
  // Waits (without time limit) until a record is there or `stop` is set;
  // nullptr only when stopping. Wake() lets a waiter re-check `stop`.
  std::unique_ptr<ReceivedPacket> Take(const std::atomic<bool>& stop);
  void Wake() { event_.Set(); }
  void Clear();
  size_t Size();

 private:
  OrderedMutex lock_;
  Event event_{Event::Mode::kAutoReset};
  std::list<std::unique_ptr<ReceivedPacket>> items_;
};

// Datagrams for the protocol layer (PacketProcessThread) and for transfers
// and upgrade replies (TransferProcessThread).
PacketQueue& PacketQueueOf();
PacketQueue& TransferQueueOf();

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
  int32_t cancelled = 0;  // non-zero suppresses the callback

  // Records `mac` as having answered; false when it had answered already.
  // Constant time, so a burst of thousands of replies stays cheap.
  bool AddResponder(const uint8_t* mac);
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
// Guarded by TrapRecordLock(); in arrival order.
std::vector<TrapRecord>& TrapRecordList();
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
