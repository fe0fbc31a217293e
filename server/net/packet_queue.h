#pragma once
// The two queues between the receive thread and its consumers: a FIFO of
// received datagrams with its lock and auto-reset event each.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/received_packet.h"
#include "platform/event.h"
#include "platform/ordered_mutex.h"

namespace ferro {

// Records one queue holds at most (about 100 MB): a consumer that falls
// behind a flood loses the newest datagrams instead of the process its
// memory.
inline constexpr size_t kMaxQueuedPackets = 65536;

// The producer appends a whole batch under the lock and signals once after
// it has released its own locks; the consumer takes one record or every
// record at a time and owns what it took. The records sit in a vector, not
// a node each: a consumer that takes everything swaps its emptied vector
// in, so that a steady flow reuses the same two vectors.
class PacketQueue {
 public:
  using Batch = std::vector<std::unique_ptr<ReceivedPacket>>;

  PacketQueue(int rank, const char* name) : lock_(rank, name) {}

  void Append(std::unique_ptr<ReceivedPacket> packet);
  // Moves every record of `batch` to the tail in order (up to the cap) and
  // empties `batch`; returns how many were dropped at the cap.
  size_t AppendAll(Batch& batch);
  void Signal() { event_.Set(); }
  // Oldest record, or nullptr when the queue is empty.
  std::unique_ptr<ReceivedPacket> TryTake();
  // Moves every queued record to the end of `out`; false when none was there.
  bool TryTakeAll(Batch& out);
  // Waits (without time limit) until a record is there or `stop` is set;
  // nullptr only when stopping. Wake() lets a waiter re-check `stop`.
  std::unique_ptr<ReceivedPacket> Take(const std::atomic<bool>& stop);
  // The same for every queued record at once; false only when stopping.
  bool TakeAll(const std::atomic<bool>& stop, Batch& out);
  void Wake() { event_.Set(); }
  // Waits up to `ms` for a Signal() or Wake(); false when none came.
  bool WaitFor(uint32_t ms) { return event_.WaitFor(ms); }
  void Clear();
  size_t Size();
  // Records dropped at the cap since the start.
  uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  OrderedMutex lock_;
  Event event_{Event::Mode::kAutoReset};
  Batch items_;
  size_t head_ = 0;  // items_ before it were taken one at a time
  std::atomic<uint64_t> dropped_{0};
};

// Datagrams for the protocol layer (PacketProcessThread) and for transfers
// and upgrade replies (TransferProcessThread).
PacketQueue& PacketQueueOf();
PacketQueue& TransferQueueOf();

}  // namespace ferro
