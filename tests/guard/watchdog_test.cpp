// The I/O watchdog: no expiry for a transfer that returned in time, however
// early the disarm and however many workers arm at once; exactly one expiry
// and a break for one that did not; no limit when the limit is negative.
#include "guard/watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "config/run_settings.h"
#include "guard/break_handler.h"
#include "platform/event.h"

namespace iochurn {
namespace {

// Indexes of their own, clear of the worker tests' index 0 and 3.
constexpr int kIndex = 40;

class Watchdog : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_run_settings(&settings);
    saved_limit_ = watchdog_limit_ms;
    user_break.store(0);
    expiries_ = watchdog_expiries();
  }
  void TearDown() override {
    watchdog_stop(kIndex);
    watchdog_limit_ms = saved_limit_;
    user_break.store(0);
    reset_run_settings(&settings);
  }

  // Lets `ms` pass in which a wrongly armed watchdog would fire.
  static void quiet_period(int64_t ms) {
    AutoResetEvent never;
    never.wait(ms);
  }

  // Waits until the expiry count reaches `count`, or a generous limit.
  static bool expiries_reach(uint64_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    AutoResetEvent never;
    while (watchdog_expiries() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      never.wait(2);
    }
    return true;
  }

  int64_t saved_limit_;
  uint64_t expiries_;
};

// Limits of a few hundred milliseconds: far above any transfer here, yet a
// watchdog that missed its disarm would fire within the test.
TEST_F(Watchdog, EarlyDisarmsNeverExpire) {
  watchdog_limit_ms = 300;
  // Most of these disarms come before the watchdog thread has even looked.
  for (int i = 0; i < 5000; ++i) {
    ASSERT_EQ(watchdog_arm(kIndex), 0);
    watchdog_disarm(kIndex);
  }
  quiet_period(400);
  EXPECT_EQ(watchdog_expiries(), expiries_);
  EXPECT_EQ(user_break.load(), 0);
}

TEST_F(Watchdog, ManyWorkersArmingAtOnceNeverExpire) {
  // Limit well above a transfer on a loaded two-core machine; a disarm that
  // reached the wrong watchdog would still leave one expiring.
  watchdog_limit_ms = 500;
  constexpr int kWorkers = 8;
  std::vector<std::thread> workers;
  std::atomic<int> failed_arms{0};
  for (int t = 0; t < kWorkers; ++t) {
    workers.emplace_back([t, &failed_arms] {
      int index = kIndex + 1 + t;
      volatile uint32_t sink = 0;
      for (int i = 0; i < 2000; ++i) {
        if (watchdog_arm(index) != 0) failed_arms.fetch_add(1);
        for (int k = 0; k < 50; ++k) sink = sink + static_cast<uint32_t>(k);
        watchdog_disarm(index);
      }
      quiet_period(600);  // past the last arming's limit
      watchdog_stop(index);
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(failed_arms.load(), 0);
  EXPECT_EQ(watchdog_expiries(), expiries_);
  EXPECT_EQ(user_break.load(), 0);
}

TEST_F(Watchdog, ArmWithoutDisarmExpiresOnceAndRaisesTheBreak) {
  watchdog_limit_ms = 50;
  settings.verbose = true;
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(watchdog_arm(kIndex), 0);
  ASSERT_TRUE(expiries_reach(expiries_ + 1));
  quiet_period(150);  // the same arming never fires twice
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(watchdog_expiries(), expiries_ + 1);
  EXPECT_EQ(user_break.load(), 1);
  EXPECT_EQ(out, "I/O timeout in wait_thread.\n");
  watchdog_disarm(kIndex);  // late: changes nothing

  // The next late transfer of the phase raises it again.
  settings.verbose = false;
  ASSERT_EQ(watchdog_arm(kIndex), 0);
  ASSERT_TRUE(expiries_reach(expiries_ + 2));
  watchdog_disarm(kIndex);
  watchdog_limit_ms = 300;  // and one in time does not
  ASSERT_EQ(watchdog_arm(kIndex), 0);
  watchdog_disarm(kIndex);
  quiet_period(400);
  EXPECT_EQ(watchdog_expiries(), expiries_ + 2);
}

TEST_F(Watchdog, NegativeOrHugeLimitNeverExpires) {
  for (int64_t limit : {int64_t{-1}, int64_t{-3600000}, INT64_MAX,
                        int64_t{INT32_MAX} * 2000}) {
    watchdog_limit_ms = limit;
    ASSERT_EQ(watchdog_arm(kIndex), 0);
    quiet_period(100);
    EXPECT_EQ(watchdog_expiries(), expiries_) << limit;
    watchdog_disarm(kIndex);
  }
  EXPECT_EQ(user_break.load(), 0);
}

TEST_F(Watchdog, StopLeavesACleanSlotForARerun) {
  watchdog_limit_ms = 300;
  ASSERT_EQ(watchdog_arm(kIndex), 0);
  watchdog_stop(kIndex);  // stopped while armed: that arming never fires
  watchdog_stop(kIndex);  // a second stop is harmless
  quiet_period(400);
  EXPECT_EQ(watchdog_expiries(), expiries_);

  // A fresh watchdog serves the index again.
  watchdog_limit_ms = 50;
  ASSERT_EQ(watchdog_arm(kIndex), 0);
  ASSERT_TRUE(expiries_reach(expiries_ + 1));
  EXPECT_EQ(user_break.load(), 1);
  user_break.store(0);
  watchdog_stop(kIndex);  // stops a watchdog that has expired

  watchdog_limit_ms = 300;
  ASSERT_EQ(watchdog_arm(kIndex), 0);
  watchdog_disarm(kIndex);
  quiet_period(400);
  EXPECT_EQ(watchdog_expiries(), expiries_ + 1);
  EXPECT_EQ(user_break.load(), 0);
}

TEST_F(Watchdog, DisarmWithoutArmingDoesNothing) {
  watchdog_limit_ms = 10;
  watchdog_disarm(kIndex + 20);  // no watchdog thread on this index
  watchdog_stop(kIndex + 20);
  quiet_period(50);
  EXPECT_EQ(watchdog_expiries(), expiries_);
}

}  // namespace
}  // namespace iochurn
