#pragma once
// A mutex with a place in a fixed lock order. Locks must be taken in rising
// rank: taking a lock while a lock of equal or higher rank is held on the
// same thread is a latent deadlock, reported and ended at once, so that a
// wrong nesting shows up the first time its code path runs rather than the
// one time two threads meet in it.

#include <cstdint>
#include <mutex>

namespace ferro {

class OrderedMutex {
 public:
  // `rank` in 1..31; `name` is shown when the order is broken.
  OrderedMutex(int rank, const char* name) : rank_(rank), name_(name) {}
  OrderedMutex(const OrderedMutex&) = delete;
  OrderedMutex& operator=(const OrderedMutex&) = delete;

  void lock();
  bool try_lock();
  void unlock();

  int rank() const { return rank_; }
  const char* name() const { return name_; }

 private:
  std::mutex mu_;
  const int rank_;
  const char* const name_;
};

// Ranks of the locks the calling thread holds, one bit per rank (for tests).
uint32_t HeldLockRanks();

}  // namespace ferro
