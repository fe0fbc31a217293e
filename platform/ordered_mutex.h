#pragma once
// A mutex with a place in a fixed lock order. Locks must be taken in rising
// rank: taking a lock while a lock of equal or higher rank is held on the
// same thread is a latent deadlock, reported the first time its code path
// runs rather than the one time two threads meet in it. Test and sanitizer
// builds end the process there; the product reports the first one and goes
// on (see SetLockOrderFatal), since a server in the field that stops at a
// latent deadlock is worse off than one that may never meet it.

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

// True: a broken order is reported on standard error and the process ends
// (the default in test and sanitizer builds, FERRO_LOCK_ORDER_FATAL).
// False: the first broken order is reported, with its locks, and the lock
// is taken all the same (the default otherwise). Test programs set true.
void SetLockOrderFatal(bool fatal);
// Broken orders seen since process start (each also reported or fatal).
uint32_t LockOrderViolations();

}  // namespace ferro
