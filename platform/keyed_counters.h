#pragma once
// Counters by key for a bounded set of keys, counted without a lock: the
// first `limit` distinct keys get a counter each, every later key counts
// under "other". Meant for a hot path (a packet thread) that counts, and a
// reader that now and then lists the counts. Keys are 64-bit values other
// than 0.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace ferro {

class KeyedCounters {
 public:
  // Room for `limit` keys (at least 1), in a table twice that size or more
  // so that a lookup ends after a few slots.
  explicit KeyedCounters(size_t limit);

  // Adds 1 to the counter of `key` (0 is ignored). Safe from any thread.
  void Add(uint64_t key);
  // Counted under keys beyond the limit.
  uint64_t Other() const { return other_.load(std::memory_order_relaxed); }
  size_t Limit() const { return limit_; }
  // Calls fn(key, count) for every key with a counter, in no given order.
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (size_t i = 0; i < size_; ++i) {
      const uint64_t key = slots_[i].key.load(std::memory_order_acquire);
      if (key != 0) fn(key, slots_[i].count.load(std::memory_order_relaxed));
    }
  }

 private:
  struct Slot {
    std::atomic<uint64_t> key{0};
    std::atomic<uint64_t> count{0};
  };
  size_t limit_;
  size_t size_;  // a power of two
  std::unique_ptr<Slot[]> slots_;
  std::atomic<size_t> used_{0};
  std::atomic<uint64_t> other_{0};
};

}  // namespace ferro
