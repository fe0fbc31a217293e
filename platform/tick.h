#pragma once
// Millisecond tick counts. Times are 32-bit tick values that wrap about every
// 49.7 days; they are only ever compared through their unsigned difference,
// so the wrap does no harm. The source of the ticks can be replaced (for
// tests), and every timed wait of the platform layer follows the current
// source, so a manual source lets a test run a 110-second wait in no time.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ferro {

class TickSource {
 public:
  virtual ~TickSource() = default;
  // Current tick count in milliseconds.
  virtual uint32_t Now() = 0;
  // How long (real time) a waiter whose deadline is `remaining` ticks away
  // may block before it reads the clock again.
  virtual std::chrono::milliseconds RealWait(uint32_t remaining) = 0;
};

// The system's monotonic clock in milliseconds.
class MonotonicTickSource final : public TickSource {
 public:
  uint32_t Now() override;
  std::chrono::milliseconds RealWait(uint32_t remaining) override;
};

// A clock that moves only when told to. Advancing it wakes every timed waiter
// of the platform layer so that it re-reads the time.
class ManualTickSource final : public TickSource {
 public:
  explicit ManualTickSource(uint32_t start = 1) : now_(start) {}
  uint32_t Now() override;
  std::chrono::milliseconds RealWait(uint32_t remaining) override;
  void Set(uint32_t value);
  void Advance(uint32_t ms);

 private:
  std::mutex mu_;
  uint32_t now_;
};

// The tick count of the current source.
uint32_t GetTick();
// Replaces the tick source (nullptr restores the monotonic one). The source
// must outlive its use; tests install one before starting any thread.
void SetTickSource(TickSource* source);
TickSource& CurrentTickSource();

// Milliseconds from `earlier` to `later`, correct across the wrap.
inline uint32_t TickSince(uint32_t later, uint32_t earlier) { return later - earlier; }
// True when at least `interval` ms lie between `since` and `now`.
inline bool TickElapsed(uint32_t now, uint32_t since, uint32_t interval) {
  return TickSince(now, since) >= interval;
}
// True when `deadline` has come at `now` (the two lie within 2^31 ms).
inline bool TickReached(uint32_t now, uint32_t deadline) {
  return static_cast<int32_t>(now - deadline) >= 0;
}

// Ties a mutex and condition variable used for timed waits to the clock:
// when a manual clock moves, the variable is notified (under the mutex) so
// that its waiters re-read the time. Declare it after the two members it
// names, so that it is destroyed first.
class TickWakeRegistration {
 public:
  TickWakeRegistration(std::mutex& mu, std::condition_variable& cv);
  ~TickWakeRegistration();
  TickWakeRegistration(const TickWakeRegistration&) = delete;
  TickWakeRegistration& operator=(const TickWakeRegistration&) = delete;
  void Wake();

 private:
  std::mutex& mu_;
  std::condition_variable& cv_;
};

}  // namespace ferro
