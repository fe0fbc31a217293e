#include "platform/keyed_counters.h"

#include <bit>

namespace ferro {

KeyedCounters::KeyedCounters(size_t limit)
    : limit_(limit == 0 ? 1 : limit),
      size_(std::bit_ceil(2 * limit_)),
      slots_(std::make_unique<Slot[]>(size_)) {}

void KeyedCounters::Add(uint64_t key) {
  if (key == 0) return;
  // Open addressing with linear probing; a slot's key, once set, never
  // changes, so a reader never sees a counter move to another key.
  uint64_t hash = key * 0x9E3779B97F4A7C15ull;
  hash ^= hash >> 29;
  const size_t mask = size_ - 1;
  for (size_t i = 0, at = static_cast<size_t>(hash) & mask; i < size_; ++i, at = (at + 1) & mask) {
    Slot& slot = slots_[at];
    uint64_t seen = slot.key.load(std::memory_order_acquire);
    if (seen == 0) {
      // A free slot: the key is new. Past the limit it counts as other.
      if (used_.load(std::memory_order_relaxed) >= limit_) break;
      if (slot.key.compare_exchange_strong(seen, key, std::memory_order_acq_rel)) {
        used_.fetch_add(1, std::memory_order_relaxed);
        seen = key;
      }
    }
    if (seen == key) {
      slot.count.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  other_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace ferro
