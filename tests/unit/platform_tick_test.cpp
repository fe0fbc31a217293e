// Tick arithmetic across the wrap, and events, timers and lock ranks driven
// by a manual clock so that long waits take no real time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/event.h"
#include "platform/ordered_mutex.h"
#include "platform/tick.h"

namespace ferro {
namespace {

using namespace std::chrono_literals;

class PlatformManualClock : public ::testing::Test {
 protected:
  void SetUp() override { SetTickSource(&clock_); }
  void TearDown() override { SetTickSource(nullptr); }

  // Advances the clock in steps until `done` holds (bounded in real time).
  template <typename Pred>
  bool AdvanceUntil(Pred done, uint32_t step) {
    for (int i = 0; i < 2000 && !done(); ++i) {
      clock_.Advance(step);
      std::this_thread::sleep_for(1ms);
    }
    return done();
  }

  ManualTickSource clock_{0xFFFFF000u};  // close to the wrap on purpose
};

TEST(PlatformTick, DifferencesSurviveTheWrap) {
  EXPECT_EQ(TickSince(5u, 0xFFFFFFF0u), 21u);
  EXPECT_TRUE(TickElapsed(5u, 0xFFFFFFF0u, 21u));
  EXPECT_FALSE(TickElapsed(5u, 0xFFFFFFF0u, 22u));
  EXPECT_TRUE(TickReached(3u, 0xFFFFFFFFu));
  EXPECT_FALSE(TickReached(0xFFFFFFFFu, 3u));
}

TEST(PlatformTick, MonotonicSourceMovesForward) {
  MonotonicTickSource s;
  const uint32_t a = s.Now();
  std::this_thread::sleep_for(20ms);
  const uint32_t elapsed = TickSince(s.Now(), a);
  EXPECT_GE(elapsed, 15u);
  EXPECT_LT(elapsed, 5000u);
}

TEST_F(PlatformManualClock, LongTimedWaitEndsWhenTheClockIsAdvanced) {
  Event e;
  std::atomic<int> result{-1};
  const auto started = std::chrono::steady_clock::now();
  std::thread waiter([&] { result = e.WaitFor(110000) ? 1 : 0; });
  ASSERT_TRUE(AdvanceUntil([&] { return result.load() != -1; }, 10000));
  waiter.join();
  EXPECT_EQ(result.load(), 0);  // timed out, not signalled
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
}

TEST_F(PlatformManualClock, AutoResetEventLetsOneWaitThroughPerSet) {
  Event e;
  e.Set();
  EXPECT_TRUE(e.WaitFor(0));
  EXPECT_FALSE(e.WaitFor(0));
  Event manual(Event::Mode::kManualReset);
  manual.Set();
  EXPECT_TRUE(manual.WaitFor(0));
  EXPECT_TRUE(manual.WaitFor(0));
  manual.Reset();
  EXPECT_FALSE(manual.WaitFor(0));

  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    e.Wait();
    woke = true;
  });
  std::this_thread::sleep_for(10ms);
  e.Set();
  waiter.join();
  EXPECT_TRUE(woke.load());
}

TEST_F(PlatformManualClock, PeriodicTimerExpiresOncePerPeriodAndCollapsesMissedOnes) {
  WaitableTimer t;
  ASSERT_TRUE(t.Arm(1000, 1000));
  std::atomic<int> expiries{0};
  std::thread waiter([&] {
    while (t.Wait()) ++expiries;
  });
  ASSERT_TRUE(AdvanceUntil([&] { return expiries.load() >= 1; }, 250));
  ASSERT_TRUE(AdvanceUntil([&] { return expiries.load() >= 3; }, 250));
  // A long silence yields one expiry, not one per missed period.
  const int before = expiries.load();
  t.Cancel();
  std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(t.Arm(10000, 1000));
  clock_.Advance(15000);
  ASSERT_TRUE(AdvanceUntil([&] { return expiries.load() > before; }, 0));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(expiries.load(), before + 1);
  t.Close();
  waiter.join();
  EXPECT_FALSE(t.Arm(1000, 1000));
  t.Reopen();
  EXPECT_TRUE(t.Arm(1000, 0));
}

TEST(PlatformOrderedMutex, RisingRanksNestAndTheHeldSetIsTracked) {
  OrderedMutex outer(2, "outer");
  OrderedMutex inner(5, "inner");
  {
    std::lock_guard a(outer);
    std::lock_guard b(inner);
    EXPECT_EQ(HeldLockRanks(), (1u << 2) | (1u << 5));
  }
  EXPECT_EQ(HeldLockRanks(), 0u);
}

TEST(PlatformOrderedMutexDeathTest, WrongNestingStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Fatal whichever other tests this program holds.
  SetLockOrderFatal(true);
  OrderedMutex outer(2, "outer");
  OrderedMutex inner(5, "inner");
  EXPECT_DEATH(
      {
        std::lock_guard b(inner);
        std::lock_guard a(outer);
      },
      "lock order broken: taking outer");
}

}  // namespace
}  // namespace ferro
