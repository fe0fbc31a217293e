#include "net/packet_queue.h"

#include <algorithm>
#include <iterator>
#include <mutex>

#include "net/lock_ranks.h"

namespace ferro {

void PacketQueue::Append(std::unique_ptr<ReceivedPacket> packet) {
  if (!packet) return;
  Batch one;
  one.push_back(std::move(packet));
  AppendAll(one);
}

size_t PacketQueue::AppendAll(Batch& batch) {
  Batch excess;  // the newest beyond the cap, freed after the lock is released
  {
    std::lock_guard lock(lock_);
    if (head_ != 0 && head_ * 2 >= items_.size()) {
      // Taken one at a time and never emptied: the taken front goes.
      items_.erase(items_.begin(), items_.begin() + static_cast<ptrdiff_t>(head_));
      head_ = 0;
    }
    const size_t queued = items_.size() - head_;
    size_t room = kMaxQueuedPackets - std::min(queued, kMaxQueuedPackets);
    for (std::unique_ptr<ReceivedPacket>& p : batch) {
      if (!p) continue;
      if (room == 0) {
        excess.push_back(std::move(p));
        continue;
      }
      items_.push_back(std::move(p));
      --room;
    }
  }
  batch.clear();
  const size_t dropped = excess.size();
  if (dropped != 0) dropped_.fetch_add(dropped, std::memory_order_relaxed);
  return dropped;
}

std::unique_ptr<ReceivedPacket> PacketQueue::TryTake() {
  std::lock_guard lock(lock_);
  if (head_ == items_.size()) return nullptr;
  std::unique_ptr<ReceivedPacket> p = std::move(items_[head_++]);
  if (head_ == items_.size()) {
    items_.clear();
    head_ = 0;
  }
  return p;
}

bool PacketQueue::TryTakeAll(Batch& out) {
  std::lock_guard lock(lock_);
  if (head_ == items_.size()) return false;
  if (out.empty() && head_ == 0) {
    out.swap(items_);  // the caller's emptied vector becomes the queue's
  } else {
    out.insert(out.end(), std::make_move_iterator(items_.begin() + static_cast<ptrdiff_t>(head_)),
               std::make_move_iterator(items_.end()));
    items_.clear();
  }
  head_ = 0;
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
    head_ = 0;
  }
}

size_t PacketQueue::Size() {
  std::lock_guard lock(lock_);
  return items_.size() - head_;
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
