#pragma once
// The two queues between the receive thread and its consumers: a FIFO of
// received datagrams with its lock and auto-reset event each.

#include <atomic>
#include <cstddef>
#include <list>
#include <memory>

#include "net/received_packet.h"
#include "platform/event.h"
#include "platform/ordered_mutex.h"

namespace ferro {

// The producer appends (each under the lock) and signals once after it has
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

}  // namespace ferro
