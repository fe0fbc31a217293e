#include "platform/event.h"

namespace ferro {

void Event::Set() {
  {
    std::lock_guard lock(mu_);
    signalled_ = true;
  }
  if (mode_ == Mode::kAutoReset) {
    cv_.notify_one();
  } else {
    cv_.notify_all();
  }
}

void Event::Reset() {
  std::lock_guard lock(mu_);
  signalled_ = false;
}

bool Event::IsSet() {
  std::lock_guard lock(mu_);
  return signalled_;
}

bool Event::TakeLocked() {
  if (!signalled_) return false;
  if (mode_ == Mode::kAutoReset) signalled_ = false;
  return true;
}

void Event::Wait() {
  std::unique_lock lock(mu_);
  cv_.wait(lock, [this] { return signalled_; });
  TakeLocked();
}

bool Event::WaitFor(uint32_t ms) {
  const uint32_t start = GetTick();
  std::unique_lock lock(mu_);
  for (;;) {
    if (TakeLocked()) return true;
    const uint32_t elapsed = TickSince(GetTick(), start);
    if (elapsed >= ms) return false;
    cv_.wait_for(lock, CurrentTickSource().RealWait(ms - elapsed));
  }
}

bool WaitableTimer::Arm(uint32_t dueMs, uint32_t periodMs) {
  {
    std::lock_guard lock(mu_);
    if (closed_) return false;
    armed_ = true;
    due_ = GetTick() + dueMs;
    period_ = periodMs;
  }
  cv_.notify_all();
  return true;
}

void WaitableTimer::Cancel() {
  std::lock_guard lock(mu_);
  armed_ = false;
}

void WaitableTimer::Close() {
  {
    std::lock_guard lock(mu_);
    closed_ = true;
    armed_ = false;
  }
  cv_.notify_all();
}

void WaitableTimer::Reopen() {
  std::lock_guard lock(mu_);
  closed_ = false;
  armed_ = false;
}

bool WaitableTimer::IsArmed() {
  std::lock_guard lock(mu_);
  return armed_;
}

bool WaitableTimer::Wait() {
  std::unique_lock lock(mu_);
  for (;;) {
    if (closed_) return false;
    if (!armed_) {
      cv_.wait(lock);
      continue;
    }
    const uint32_t now = GetTick();
    if (TickReached(now, due_)) {
      if (period_ == 0) {
        armed_ = false;
      } else {
        due_ += period_;
        if (TickReached(now, due_)) due_ = now + period_;  // missed periods collapse
      }
      return true;
    }
    cv_.wait_for(lock, CurrentTickSource().RealWait(due_ - now));
  }
}

}  // namespace ferro
