#include "net/packet_queue.h"

#include <mutex>

#include "net/lock_ranks.h"

namespace ferro {

void PacketQueue::Append(std::unique_ptr<ReceivedPacket> packet) {
  if (!packet) return;
  std::lock_guard lock(lock_);
  items_.push_back(std::move(packet));
}

std::unique_ptr<ReceivedPacket> PacketQueue::TryTake() {
  std::lock_guard lock(lock_);
  if (items_.empty()) return nullptr;
  std::unique_ptr<ReceivedPacket> p = std::move(items_.front());
  items_.pop_front();
  return p;
}

std::unique_ptr<ReceivedPacket> PacketQueue::Take(const std::atomic<bool>& stop) {
  for (;;) {
    if (stop.load(std::memory_order_acquire)) return nullptr;
    if (std::unique_ptr<ReceivedPacket> p = TryTake()) return p;
    // The event stays set from a Signal() that found nobody waiting, so a
    // record appended between TryTake() and Wait() is not missed.
    event_.Wait();
  }
}

void PacketQueue::Clear() {
  std::list<std::unique_ptr<ReceivedPacket>> gone;
  {
    std::lock_guard lock(lock_);
    gone.swap(items_);
  }
}

size_t PacketQueue::Size() {
  std::lock_guard lock(lock_);
  return items_.size();
}

PacketQueue& PacketQueueOf() {
  static PacketQueue queue(kRankPacketQueue, "PacketQueueLock");
  return queue;
}

PacketQueue& TransferQueueOf() {
  static PacketQueue queue(kRankTransferQueue, "TransferQueueLock");
  return queue;
}

}  // namespace ferro
