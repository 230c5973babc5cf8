// The pause clock: which gaps count as a stop, the total a real SIGSTOP
// leaves, and spans that leave stopped time out.
#include "platform/pause_clock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

namespace iochurn {
namespace {

TEST(PauseClock, OnlyAGapBeyondPeriodAndSlackCounts) {
  EXPECT_EQ(pause_in_gap_ms(1000, 1250, 250, 1000), 0);   // on time
  EXPECT_EQ(pause_in_gap_ms(1000, 2250, 250, 1000), 0);   // late by the slack
  EXPECT_EQ(pause_in_gap_ms(1000, 2251, 250, 1000), 1001);
  EXPECT_EQ(pause_in_gap_ms(1000, 11250, 250, 1000), 10000);
  EXPECT_EQ(pause_in_gap_ms(1000, 1100, 250, 1000), 0);   // woken early
}

TEST(PauseClock, SpansLeaveOutStoppedTimeAndAGapNotYetTicked) {
  ASSERT_EQ(start_pause_clock(), 0);
  EXPECT_EQ(start_pause_clock(), 0);  // already running
  ActiveSpan span = active_span_start();
  int64_t now = pause_clock_now_ms();
  int64_t before = paused_ms_at(now);
  note_pause_for_test(4000);
  EXPECT_EQ(paused_ms_at(now), before + 4000);
  // The span began before a 4 s stop that took no wall time here: nothing
  // of it has run, and the result is never below zero.
  EXPECT_EQ(active_span_elapsed_ms(span, now), 0);
  // 5 s of clock of which 4 s were stopped leave 1 s.
  ActiveSpan earlier{now - 5000, before};
  EXPECT_EQ(active_span_elapsed_ms(earlier, now), 1000);
  ActiveSpan later = active_span_start();
  EXPECT_EQ(later.paused_at_start_ms, before + 4000);
  EXPECT_LE(active_span_elapsed_ms(later, pause_clock_now_ms()), 1000);
  // A reading 6 s ahead of the last tick already holds that gap, so a
  // deadline checked just after a resume does not wait for the ticker.
  EXPECT_GE(paused_ms_at(now + 6000) - paused_ms_at(now), 4000);
  stop_pause_clock();
  // Stopped: the total is kept and no gap is guessed any more.
  EXPECT_EQ(paused_ms_at(now + 60000), paused_ms_at(now));
}

// A child process runs the ticker while the test stops it for real.
TEST(PauseClock, ARealStopIsMeasured) {
  int ready[2];
  int go[2];
  int result[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(result), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (start_pause_clock() != 0) _exit(2);
    int64_t start = paused_ms();
    char byte = 'r';
    if (write(ready[1], &byte, 1) != 1) _exit(3);
    if (read(go[0], &byte, 1) != 1) _exit(4);
    // Two ticks after the resume, so the ticker itself has counted the gap.
    usleep(600 * 1000);
    int64_t seen = paused_ms() - start;
    stop_pause_clock();
    if (write(result[1], &seen, sizeof seen) != sizeof seen) _exit(5);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ASSERT_EQ(kill(child, SIGSTOP), 0);
  usleep(2500 * 1000);
  ASSERT_EQ(kill(child, SIGCONT), 0);
  ASSERT_EQ(write(go[1], &byte, 1), 1);
  int64_t seen = -1;
  ASSERT_EQ(read(result[0], &seen, sizeof seen),
            static_cast<ssize_t>(sizeof seen));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // 2.5 s stopped, less one period at most; a loaded machine adds a little.
  EXPECT_GE(seen, 2000);
  EXPECT_LE(seen, 8000);
  for (int fd : {ready[0], ready[1], go[0], go[1], result[0], result[1]})
    close(fd);
}

}  // namespace
}  // namespace iochurn
