#include "platform/ordered_mutex.h"

#include <cstdio>
#include <cstdlib>

namespace ferro {
namespace {

thread_local uint32_t t_held = 0;

void CheckOrder(const OrderedMutex& m) {
  const uint32_t atOrAbove = ~((1u << m.rank()) - 1u);
  if ((t_held & atOrAbove) != 0) {
    std::fprintf(stderr, "lock order broken: taking %s (rank %d) while holding ranks 0x%08x\n",
                 m.name(), m.rank(), t_held);
    std::abort();
  }
}

}  // namespace

void OrderedMutex::lock() {
  CheckOrder(*this);
  mu_.lock();
  t_held |= 1u << rank_;
}

bool OrderedMutex::try_lock() {
  CheckOrder(*this);
  if (!mu_.try_lock()) return false;
  t_held |= 1u << rank_;
  return true;
}

void OrderedMutex::unlock() {
  t_held &= ~(1u << rank_);
  mu_.unlock();
}

uint32_t HeldLockRanks() { return t_held; }

}  // namespace ferro
