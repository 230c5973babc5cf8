// The bound on the clean-ups: a worker stuck while it holds its entry lock
// never holds the clean-up, and whoever waits for the clean-up waits only
// while it moves.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "guard/shadow_table.h"
#include "platform/sleep.h"
#include "support/pass_fixture.h"

namespace iochurn {
namespace {

using testing_support::file_exists;
using testing_support::PassFixture;

bool descriptor_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

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

class CleanupBound : public PassFixture {
 protected:
  void SetUp() override {
    PassFixture::SetUp();
    ASSERT_EQ(shadow_prepare(), 0);
  }
};

TEST_F(CleanupBound, AWorkerStuckInItsCleanUpStepIsDeletedByName) {
  settings.threads = 2;
  settings.filecount = 2;
  Worker* stuck = make_worker(0);
  Worker* idle = make_worker(1);
  start_pass(stuck);
  start_pass(idle);
  int stuck_fd[2] = {stuck->slots[0].descriptor, stuck->slots[1].descriptor};
  int idle_fd = idle->slots[0].descriptor;

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  HangingStep step{fds[0]};
  std::thread holder([&] { shadow_cleanup_step(0, HangingStep::run, &step); });
  while (!step.entered.load()) std::this_thread::yield();

  ASSERT_TRUE(begin_emergency());
  auto began = std::chrono::steady_clock::now();
  ::testing::internal::CaptureStderr();
  Shadow_close_files();
  Shadow_free_buffers();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  auto took = std::chrono::steady_clock::now() - began;
  EXPECT_LT(took, std::chrono::seconds(kCleanupStallLimitMs / 1000))
      << "waited on the stuck worker's lock";

  // Every file is gone, the stuck worker's by the names it gave them.
  EXPECT_TRUE(dir_.entries().empty());
  EXPECT_FALSE(descriptor_open(idle_fd));
  // Its descriptors and buffers were not touched under it.
  for (int j = 0; j < 2; ++j) {
    EXPECT_TRUE(descriptor_open(stuck_fd[j]));
    EXPECT_EQ(shadow_table[j].write_buffer, stuck->slots[j].write_buffer);
  }
  std::memset(static_cast<void*>(idle->slots), 0, sizeof idle->slots);

  (void)!write(fds[1], "x", 1);
  holder.join();
  close(fds[0]);
  close(fds[1]);
  shadow_reset_for_test();
  for (int j = 0; j < 2; ++j) {
    close(stuck_fd[j]);
    stuck->slots[j].descriptor = -1;
  }
  free_buffers(stuck);
}

// Progress for one and a half times the limit, then done: waited for all
// along.
void moving_steps(void*) {
  for (int i = 0; i < 3 * kCleanupStallLimitMs / 200; ++i) {
    micro_sleep(0, 100000);
    note_cleanup_progress();
  }
}

void stuck_steps(void*) {
  note_cleanup_progress();
  for (;;) pause();
}

void bounded_then(void (*steps)(void*), int code_after) {
  run_bounded_cleanup(steps, nullptr, 7);
  _exit(code_after);
}

TEST(CleanupBoundDeathTest, WaitsWhileTheCleanUpMovesAndNoLonger) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(bounded_then(moving_steps, 0), ::testing::ExitedWithCode(0), "");
  auto began = std::chrono::steady_clock::now();
  EXPECT_EXIT(bounded_then(stuck_steps, 0), ::testing::ExitedWithCode(7),
              "^iochurn: clean-up stopped: no answer from the file system "
              "for 3 s\n$");
  EXPECT_LT(std::chrono::steady_clock::now() - began,
            std::chrono::milliseconds(kCleanupStallLimitMs + 3000));
}

}  // namespace
}  // namespace iochurn
