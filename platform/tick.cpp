#include "platform/tick.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace ferro {
namespace {

MonotonicTickSource& DefaultSource() {
  static MonotonicTickSource source;
  return source;
}

std::atomic<TickSource*> g_source{nullptr};

// Every live wake registration, so that a manual clock can wake them.
struct WaiterRegistry {
  std::mutex mu;
  std::vector<TickWakeRegistration*> waiters;
};
WaiterRegistry& Registry() {
  static WaiterRegistry registry;
  return registry;
}

void NotifyWaiters() {
  WaiterRegistry& r = Registry();
  std::lock_guard lock(r.mu);
  for (TickWakeRegistration* w : r.waiters) w->Wake();
}

}  // namespace

std::chrono::milliseconds MonotonicTickSource::RealWait(uint32_t remaining) {
  return std::chrono::milliseconds(remaining);
}

uint32_t ManualTickSource::Now() {
  std::lock_guard lock(mu_);
  return now_;
}

std::chrono::milliseconds ManualTickSource::RealWait(uint32_t) {
  // Advance() wakes waiters; the bound only covers a source swapped under them.
  return std::chrono::milliseconds(50);
}

void ManualTickSource::Set(uint32_t value) {
  {
    std::lock_guard lock(mu_);
    now_ = value;
  }
  NotifyWaiters();
}

void ManualTickSource::Advance(uint32_t ms) {
  {
    std::lock_guard lock(mu_);
    now_ += ms;
  }
  NotifyWaiters();
}

TickSource& CurrentTickSource() {
  TickSource* s = g_source.load(std::memory_order_acquire);
  return s != nullptr ? *s : DefaultSource();
}

uint32_t GetTick() { return CurrentTickSource().Now(); }

void SetTickSource(TickSource* source) {
  g_source.store(source, std::memory_order_release);
  NotifyWaiters();
}

TickWakeRegistration::TickWakeRegistration(std::mutex& mu, std::condition_variable& cv)
    : mu_(mu), cv_(cv) {
  WaiterRegistry& r = Registry();
  std::lock_guard lock(r.mu);
  r.waiters.push_back(this);
}

TickWakeRegistration::~TickWakeRegistration() {
  WaiterRegistry& r = Registry();
  std::lock_guard lock(r.mu);
  r.waiters.erase(std::remove(r.waiters.begin(), r.waiters.end(), this), r.waiters.end());
}

void TickWakeRegistration::Wake() {
  // Taking the mutex orders the wake after a waiter's clock check.
  std::lock_guard lock(mu_);
  cv_.notify_all();
}

}  // namespace ferro
