// The bounded helper call: the result of a call that returns in time, the
// end of the wait for one that hangs, a wait kept open by progress, and
// helpers' records handed back for later calls.
#include "platform/bounded_call.h"
#include "platform/pause_clock.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace iochurn {
namespace {

int returns_seven(void* arg) {
  static_cast<std::atomic<int>*>(arg)->fetch_add(1);
  return 7;
}

// Blocks until a byte arrives on the pipe, as a call on a file system that
// has stopped answering would.
int blocks_on_pipe(void* arg) {
  char byte;
  return static_cast<int>(read(*static_cast<int*>(arg), &byte, 1));
}

struct Mover {
  std::atomic<uint64_t> progress{0};
  int steps;
};

// Sleeps 500 ms of which, as far as deadlines know, the process was stopped
// for 2 s first.
int paused_then_slow(void*) {
  note_pause_for_test(2000);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return 3;
}

// Takes steps * 20 ms in all, but moves every 20 ms.
int keeps_moving(void* arg) {
  auto* m = static_cast<Mover*>(arg);
  for (int i = 0; i < m->steps; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    m->progress.fetch_add(1);
  }
  return m->steps;
}

TEST(BoundedCall, ACallThatReturnsInTimeGivesItsResultEveryTime) {
  std::atomic<int> runs{0};
  // More calls than the helpers have records: each is handed back.
  for (int i = 0; i < 20; ++i) {
    int result = 0;
    ASSERT_EQ(run_bounded(returns_seven, &runs, 5000, nullptr, &result),
              BoundedEnd::kReturned)
        << "call " << i;
    EXPECT_EQ(result, 7);
  }
  EXPECT_EQ(runs.load(), 20);
}

TEST(BoundedCall, TheWaitForAHangingCallEndsAndItsRecordComesBack) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int result = -5;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run_bounded(blocks_on_pipe, &fds[0], 100, nullptr, &result),
            BoundedEnd::kTimedOut);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(100));
  EXPECT_EQ(result, -5);  // untouched: the call has not returned
  // The helper finishes late; its record is free again afterwards.
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  std::atomic<int> runs{0};
  for (int i = 0; i < 20; ++i) {
    int seven = 0;
    ASSERT_EQ(run_bounded(returns_seven, &runs, 5000, nullptr, &seven),
              BoundedEnd::kReturned);
  }
  close(fds[0]);
  close(fds[1]);
}

TEST(BoundedCall, ProgressKeepsTheWaitOpenPastTheLimit) {
  Mover m;
  m.steps = 30;  // about 600 ms in all, a step every 20 ms
  int result = 0;
  EXPECT_EQ(run_bounded(keeps_moving, &m, 300, &m.progress, &result),
            BoundedEnd::kReturned);
  EXPECT_EQ(result, 30);
  // Without the progress count, the same limit ends the wait.
  static Mover slow;  // outlives the helper, which returns after the wait
  slow.steps = 30;
  EXPECT_EQ(run_bounded(keeps_moving, &slow, 60, nullptr, &result),
            BoundedEnd::kTimedOut);
}

TEST(BoundedCall, TimeTheProcessWasStoppedDoesNotCountTowardTheLimit) {
  int result = 0;
  EXPECT_EQ(run_bounded(paused_then_slow, nullptr, 300, nullptr, &result),
            BoundedEnd::kReturned);
  EXPECT_EQ(result, 3);
}

}  // namespace
}  // namespace iochurn
