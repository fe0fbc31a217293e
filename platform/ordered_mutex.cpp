#include "platform/ordered_mutex.h"

#include <atomic>
#include <cstdlib>

#include "platform/diag.h"

namespace ferro {
namespace {

#ifdef FERRO_LOCK_ORDER_FATAL
constexpr bool kFatalByDefault = true;
#else
constexpr bool kFatalByDefault = false;
#endif

thread_local uint32_t t_held = 0;
std::atomic<bool> g_fatal{kFatalByDefault};
std::atomic<uint32_t> g_violations{0};

void CheckOrder(const OrderedMutex& m) {
  const uint32_t atOrAbove = ~((1u << m.rank()) - 1u);
  if ((t_held & atOrAbove) == 0) return;
  const bool first = g_violations.fetch_add(1, std::memory_order_relaxed) == 0;
  const bool fatal = g_fatal.load(std::memory_order_relaxed);
  if (!fatal && !first) return;
  DiagError("lock order broken: taking %s (rank %d) while holding ranks 0x%08x%s\n", m.name(),
            m.rank(), t_held, fatal ? "" : " (reported once; going on)");
  if (fatal) std::abort();
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

void SetLockOrderFatal(bool fatal) { g_fatal.store(fatal, std::memory_order_relaxed); }

uint32_t LockOrderViolations() { return g_violations.load(std::memory_order_relaxed); }

}  // namespace ferro
