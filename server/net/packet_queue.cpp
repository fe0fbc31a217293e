#include "net/packet_queue.h"

#include <algorithm>
#include <iterator>
#include <mutex>

#include "net/lock_ranks.h"

namespace ferro {

void PacketQueue::Append(std::unique_ptr<ReceivedPacket> packet) {
  if (!packet) return;
  std::vector<std::unique_ptr<ReceivedPacket>> one;
  one.push_back(std::move(packet));
  AppendAll(one);
}

size_t PacketQueue::AppendAll(std::vector<std::unique_ptr<ReceivedPacket>>& batch) {
  // The list nodes are made before the lock is taken, so the consumer waits
  // only for the splice.
  Batch nodes;
  for (std::unique_ptr<ReceivedPacket>& p : batch) {
    if (p) nodes.push_back(std::move(p));
  }
  batch.clear();
  Batch excess;  // the newest beyond the cap, freed after the lock is released
  {
    std::lock_guard lock(lock_);
    const size_t room = kMaxQueuedPackets - std::min(items_.size(), kMaxQueuedPackets);
    if (nodes.size() > room) {
      excess.splice(excess.end(), nodes, std::next(nodes.begin(), static_cast<ptrdiff_t>(room)),
                    nodes.end());
    }
    items_.splice(items_.end(), nodes);
  }
  const size_t dropped = excess.size();
  if (dropped != 0) dropped_.fetch_add(dropped, std::memory_order_relaxed);
  return dropped;
}

std::unique_ptr<ReceivedPacket> PacketQueue::TryTake() {
  std::lock_guard lock(lock_);
  if (items_.empty()) return nullptr;
  std::unique_ptr<ReceivedPacket> p = std::move(items_.front());
  items_.pop_front();
  return p;
}

bool PacketQueue::TryTakeAll(Batch& out) {
  std::lock_guard lock(lock_);
  if (items_.empty()) return false;
  out.splice(out.end(), items_);
  return true;
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

bool PacketQueue::TakeAll(const std::atomic<bool>& stop, Batch& out) {
  for (;;) {
    if (stop.load(std::memory_order_acquire)) return false;
    if (TryTakeAll(out)) return true;
    event_.Wait();
  }
}

void PacketQueue::Clear() {
  Batch gone;
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
