#pragma once
// Events and waitable timers built on a mutex and a condition variable. Every
// timed wait measures its time with the current tick source (tick.h).

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/tick.h"

namespace ferro {

// A signal flag with waiters. An auto-reset event lets exactly one wait
// through per Set() and clears itself; a manual-reset event stays set until
// Reset(). Created not signalled.
class Event {
 public:
  enum class Mode { kAutoReset, kManualReset };
  explicit Event(Mode mode = Mode::kAutoReset) : mode_(mode) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet();
  // Waits without limit; returns when signalled.
  void Wait();
  // Waits at most `ms` ticks; true when signalled, false on time-out.
  bool WaitFor(uint32_t ms);

 private:
  bool TakeLocked();

  const Mode mode_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_ = false;
  TickWakeRegistration wake_{mu_, cv_};
};

// The equivalent of an auto-reset waitable timer: once armed it expires
// after `dueMs` and then every `periodMs` (0: once). Each expiry lets one
// Wait() through; expiries missed while nobody waited collapse into one.
// Closing the timer ends every present and future wait with false.
class WaitableTimer {
 public:
  WaitableTimer() = default;
  WaitableTimer(const WaitableTimer&) = delete;
  WaitableTimer& operator=(const WaitableTimer&) = delete;

  // False when the timer is closed.
  bool Arm(uint32_t dueMs, uint32_t periodMs);
  void Cancel();
  void Close();
  // Makes a closed timer usable again, not armed.
  void Reopen();
  bool IsArmed();
  // Blocks until the next expiry (true) or until the timer is closed (false).
  bool Wait();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool armed_ = false;
  bool closed_ = false;
  uint32_t due_ = 0;
  uint32_t period_ = 0;
  TickWakeRegistration wake_{mu_, cv_};
};

}  // namespace ferro
