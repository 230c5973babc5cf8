// The bound on the clean-ups: a worker stuck while it holds its entry lock
// never holds the clean-up, and the wait for the clean-up lasts only while
// it moves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "guard/shadow_table.h"
#include "platform/sleep.h"
#include "support/pass_fixture.h"

namespace iochurn {
namespace {

using testing_support::PassFixture;

// A pass clean-up step that hangs, as a close on a dead file system does,
// until a byte arrives on `fd`.
struct HangingStep {
  int fd;
  std::atomic<bool> entered{false};
  static void run(void* arg) {
    auto* self = static_cast<HangingStep*>(arg);
    self->entered.store(true);
    char byte;
    (void)!read(self->fd, &byte, 1);
  }
};

class CleanupBound : public PassFixture {};

TEST_F(CleanupBound, AWorkerStuckInItsCleanUpStepIsDeletedByName) {
  ASSERT_EQ(shadow_prepare(), 0);
  settings.threads = 2;
  settings.filecount = 2;
  Worker* stuck = make_worker(0);
  Worker* idle = make_worker(1);
  start_pass(stuck);
  start_pass(idle);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  HangingStep step{pipe_fds[0]};
  std::thread holder([&] { shadow_cleanup_step(0, HangingStep::run, &step); });
  while (!step.entered.load()) std::this_thread::yield();

  ASSERT_TRUE(begin_emergency());
  ::testing::internal::CaptureStderr();
  Shadow_close_files();  // would block for ever on the worker's lock
  Shadow_free_buffers();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(dir_.entries().empty());
  // Nothing of the stuck worker's was touched under it.
  for (int j = 0; j < 2; ++j) {
    EXPECT_NE(fcntl(stuck->slots[j].descriptor, F_GETFD), -1);
    EXPECT_EQ(shadow_rows[0].entries[j].write_buffer, stuck->slots[j].write_buffer);
  }

  (void)!write(pipe_fds[1], "x", 1);
  holder.join();
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  shadow_reset_for_test();
  std::memset(static_cast<void*>(idle->slots), 0, sizeof idle->slots);
  for (int j = 0; j < 2; ++j) {
    close(stuck->slots[j].descriptor);
    stuck->slots[j].descriptor = -1;
  }
  free_buffers(stuck);
}

void moving_steps(void*) {  // one and a half times the limit, never still
  for (int i = 0; i < 3 * kCleanupStallLimitMs / 200; ++i) {
    micro_sleep(0, 100000);
    note_cleanup_progress();
  }
}

void stuck_steps(void*) {
  for (;;) pause();
}

void bounded_then_exit(void (*steps)(void*)) {
  run_bounded_cleanup(steps, nullptr, 7);
  _exit(0);
}

TEST(CleanupBoundDeathTest, WaitsWhileTheCleanUpMovesAndNoLonger) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(bounded_then_exit(moving_steps), ::testing::ExitedWithCode(0),
              "");
  EXPECT_EXIT(
      bounded_then_exit(stuck_steps), ::testing::ExitedWithCode(7),
      "^iochurn: clean-up stopped: no answer from the file system for 3 s\n$");
}

}  // namespace
}  // namespace iochurn
