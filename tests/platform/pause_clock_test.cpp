#include "platform/pause_clock.h"

#include <gtest/gtest.h>

namespace iochurn {
namespace {

constexpr uint64_t kMs = 1000000;

TEST(PauseClock, OnlyGapsBeyondTheSlackCountAsStopped) {
  // A late tick (a loaded machine) is not a stop; the gap past one tick
  // period is, once the gap passes the period by more than the slack.
  EXPECT_EQ(stopped_part(250 * kMs), 0u);
  EXPECT_EQ(stopped_part(1250 * kMs), 0u);
  EXPECT_EQ(stopped_part(1251 * kMs), 1001 * kMs);
  EXPECT_EQ(stopped_part(30000 * kMs), 29750 * kMs);

  PauseTally t{};
  pause_tally_tick(&t, 1000 * kMs);
  pause_tally_tick(&t, 1250 * kMs);
  pause_tally_tick(&t, 2400 * kMs);  // late by 0.9 s: still running time
  EXPECT_EQ(t.stopped_ns, 0u);
  pause_tally_tick(&t, 12400 * kMs);  // stopped for 10 s
  EXPECT_EQ(t.stopped_ns, 9750 * kMs);
  EXPECT_EQ(pause_tally_awake(t, 12500 * kMs), 12500 * kMs - 9750 * kMs);
}

TEST(PauseClock, AReaderBeforeTheTickerSeesTheStopAlready) {
  // After a stop the main thread may read the clock before the ticker ran:
  // the stretch since the last tick counts then, and no more once the
  // ticker has taken it.
  PauseTally t{};
  pause_tally_tick(&t, 1000 * kMs);
  uint64_t read_first = pause_tally_awake(t, 21000 * kMs);
  EXPECT_EQ(read_first, 1000 * kMs + 250 * kMs);
  pause_tally_tick(&t, 21000 * kMs);
  EXPECT_EQ(pause_tally_awake(t, 21000 * kMs), read_first);
  EXPECT_EQ(pause_tally_awake(t, 21100 * kMs), read_first + 100 * kMs);
}

TEST(PauseClock, TheProcessClockRunsWithTheTicker) {
  ASSERT_EQ(pause_clock_start(), 0);
  uint64_t a = awake_ns();
  uint64_t wall = pause_clock_now_ns();
  EXPECT_LE(a, wall);
  pause_clock_stop();
  // Never stopped here: awake time is the monotonic clock.
  EXPECT_GE(awake_ns() + 100 * kMs, pause_clock_now_ns());
}

}  // namespace
}  // namespace iochurn
