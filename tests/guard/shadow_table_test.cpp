// The shadow table: its index rule, the mirror writes of a real pass, the
// emergency clean-up over mixed entries and busy workers, the parking of
// workers once the emergency has begun, and the bound on the clean-ups.
#include "guard/shadow_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/no_destructor.h"
#include "platform/sleep.h"
#include "support/pass_fixture.h"
#include "support/scratch_dir.h"
#include "platform/buffer.h"

namespace iochurn {
namespace {

using testing_support::file_exists;
using testing_support::PassFixture;
using testing_support::ScratchDir;

// Entry i of the table as the clean-up numbers it (t x filecount + j).
FileSlot& entry_at(int i) {
  int filecount = settings.filecount;
  return shadow_rows[i / filecount].entries[i % filecount];
}

bool refers_to_open_file(const FileSlot& e) {
  return e.write_buffer != nullptr && e.descriptor != -1;
}

bool descriptor_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

bool is_zero(const FileSlot& e) {
  static const FileSlot zero{};
  return std::memcmp(&e, &zero, sizeof zero) == 0;
}

TEST(ShadowIndex, Rule) {
  struct {
    int thread, slot, filecount, entry;
  } rows[] = {
      {0, 0, 1, 0},    {3, 0, 1, 3},     {2, 1, 2, 5},
      {1, 0, 100, 100}, {0, 99, 100, 99}, {499, 99, 100, 49999},
  };
  for (const auto& r : rows)
    EXPECT_EQ(shadow_index(r.thread, r.slot, r.filecount), r.entry)
        << r.thread << "/" << r.slot << "/" << r.filecount;
}

class Shadow : public PassFixture {
 protected:
  void SetUp() override {
    PassFixture::SetUp();
    ASSERT_EQ(shadow_prepare(), 0);
  }
  void TearDown() override {
    for (int fd : extra_fds_) close(fd);
    for (uint8_t* b : extra_buffers_) release_buffer(b);
    PassFixture::TearDown();
  }

  // An open file of the test's own, closed at the end unless the clean-up
  // under test closes it first.
  int open_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << path;
    return fd;
  }

  FileSlot entry(uint8_t* write, uint8_t* read, int fd, const std::string& path) {
    FileSlot e{};
    e.buffer_size = 4096;
    e.write_buffer = write;
    e.read_buffer = read;
    e.descriptor = fd;
    std::strncpy(e.path, path.c_str(), kPathSize - 1);
    return e;
  }

  std::vector<int> extra_fds_;
  std::vector<uint8_t*> extra_buffers_;
};

TEST_F(Shadow, UpdatePointsMirrorARealPass) {
  settings.threads = 3;
  settings.filecount = 2;
  FileSlot sentinel{};
  sentinel.descriptor = 77;
  sentinel.write_sum = 0x1234;
  entry_at(3) = sentinel;  // worker 1's last entry
  entry_at(6) = sentinel;  // past the run's entries

  Worker* w = make_worker(2);
  setup_slots(w);
  for (int j = 0; j < 2; ++j) {
    const FileSlot& e = entry_at(4 + j);
    EXPECT_EQ(std::memcmp(&e, &w->slots[j], sizeof e), 0) << j;
    EXPECT_EQ(e.descriptor, -1);
    EXPECT_EQ(e.write_sum, kNoSum);
    EXPECT_FALSE(refers_to_open_file(e));
  }

  allocate_buffers(w);
  for (int j = 0; j < 2; ++j) {
    const FileSlot& e = entry_at(4 + j);
    EXPECT_EQ(e.write_buffer, w->slots[j].write_buffer);
    EXPECT_EQ(e.read_buffer, w->slots[j].write_buffer);
    EXPECT_FALSE(refers_to_open_file(e));  // buffers, but no file yet
  }

  create_files(w);
  for (int j = 0; j < 2; ++j) {
    const FileSlot& e = entry_at(4 + j);
    EXPECT_EQ(e.descriptor, w->slots[j].descriptor);
    EXPECT_STREQ(e.path, w->slots[j].path);
    EXPECT_EQ(e.path, dir_.file(temp_name(w, j)));
  }
  // An entry refers to an open file exactly when it is one of this worker's.
  for (int i = 0; i < 6; ++i) {
    const FileSlot& e = entry_at(i);
    bool open_file = refers_to_open_file(e);
    EXPECT_EQ(open_file, i == 4 || i == 5) << i;
    if (open_file) {
      EXPECT_TRUE(descriptor_open(e.descriptor)) << i;
      EXPECT_TRUE(file_exists(e.path)) << i;
    }
  }

  end_pass(w);
  EXPECT_TRUE(is_zero(entry_at(4)));
  EXPECT_TRUE(is_zero(entry_at(5)));
  EXPECT_TRUE(dir_.entries().empty());
  EXPECT_EQ(std::memcmp(&entry_at(3), &sentinel, sizeof sentinel), 0);
  EXPECT_EQ(std::memcmp(&entry_at(6), &sentinel, sizeof sentinel), 0);
}

TEST_F(Shadow, SeparateBuffersAndFailedOpensAreMirroredToo) {
  settings.separate_buffers = true;
  std::string missing = dir_.file("missing");
  settings.workdir = missing.c_str();
  Worker* w = make_worker();
  ::testing::internal::CaptureStderr();
  start_pass(w);
  ::testing::internal::GetCapturedStderr();
  for (int j = 0; j < 3; ++j) {
    const FileSlot& e = entry_at(j);
    EXPECT_EQ(e.write_buffer, w->slots[j].write_buffer);
    EXPECT_EQ(e.read_buffer, w->slots[j].read_buffer);
    EXPECT_NE(e.read_buffer, e.write_buffer);
    EXPECT_EQ(e.descriptor, -1);
    EXPECT_EQ(e.path, missing + "/" + temp_name(w, j));  // path before open
    EXPECT_FALSE(refers_to_open_file(e));
  }
  end_pass(w);
  for (int j = 0; j < 3; ++j) EXPECT_TRUE(is_zero(entry_at(j)));
}

TEST_F(Shadow, MirroringOffWritesNothing) {
  settings.shadow_enabled = false;
  Worker* w = make_worker();
  start_pass(w);
  ASSERT_GE(w->slots[0].descriptor, 0);
  for (int j = 0; j < 3; ++j) EXPECT_TRUE(is_zero(entry_at(j)));
  end_pass(w);  // the worker's own clean-up still runs
  EXPECT_TRUE(dir_.entries().empty());
  EXPECT_EQ(w->slots[0].write_buffer, nullptr);
}

TEST_F(Shadow, EmergencyCleanUpOverMixedEntries) {
  settings.threads = 3;
  settings.filecount = 2;
  settings.verbose = true;
  const bool stdin_open = descriptor_open(0);

  uint8_t* shared = allocate_buffer(4096);
  uint8_t* sep_w = allocate_buffer(4096);
  uint8_t* sep_r = allocate_buffer(4096);
  uint8_t* closed_buf = allocate_buffer(4096);
  uint8_t* gone_buf = allocate_buffer(4096);
  uint8_t* bad_buf = allocate_buffer(4096);
  uint8_t* outside_buf = allocate_buffer(4096);
  extra_buffers_.push_back(outside_buf);

  std::string f0 = dir_.file("f0"), f1 = dir_.file("f1"), f2 = dir_.file("f2"),
              f5 = dir_.file("f5"), f6 = dir_.file("f6");
  int fd0 = open_file(f0), fd1 = open_file(f1), fd4 = open_file(dir_.file("f4"));
  int fd6 = open_file(f6);
  extra_fds_.push_back(fd6);
  close(open_file(f2));
  close(open_file(f5));
  ASSERT_EQ(unlink(dir_.file("f4").c_str()), 0);

  // 0: open, shared buffer        1: open, separate buffers
  // 2: closed by its worker       3: a zero entry (descriptor 0)
  // 4: open, its file gone        5: a descriptor nothing holds
  // 6: past threads x filecount: not the clean-up's business
  entry_at(0) = entry(shared, shared, fd0, f0);
  entry_at(1) = entry(sep_w, sep_r, fd1, f1);
  entry_at(2) = entry(closed_buf, closed_buf, -1, f2);
  entry_at(3) = FileSlot{};
  entry_at(4) = entry(gone_buf, gone_buf, fd4, dir_.file("f4"));
  entry_at(5) = entry(bad_buf, bad_buf, 100000, f5);
  entry_at(6) = entry(outside_buf, outside_buf, fd6, f6);

  ASSERT_TRUE(begin_emergency());
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  Shadow_close_files();
  Shadow_free_buffers();
  std::string err = ::testing::internal::GetCapturedStderr();
  std::string out = ::testing::internal::GetCapturedStdout();
  shadow_reset_for_test();

  EXPECT_EQ(out, "Shadow_close_files.\nShadow_free_buffers.\n");
  // Reported with the table index, in index order; nothing else fails.
  EXPECT_EQ(err,
            "ERR [unlink]: No such file or directory for buffer 4\n"
            "ERR [close]: Bad file descriptor for buffer 5\n");
  EXPECT_FALSE(descriptor_open(fd0));
  EXPECT_FALSE(descriptor_open(fd1));
  EXPECT_FALSE(descriptor_open(fd4));
  EXPECT_TRUE(descriptor_open(fd6));
  EXPECT_EQ(descriptor_open(0), stdin_open);
  EXPECT_FALSE(file_exists(f0));
  EXPECT_FALSE(file_exists(f1));
  EXPECT_TRUE(file_exists(f2));  // its worker had already closed it
  EXPECT_FALSE(file_exists(f5));  // deleted although the close failed
  EXPECT_TRUE(file_exists(f6));
  // The buffers went back exactly once each (the sanitizers would see a
  // second release); the outside entry's buffer is still ours to release.
}

TEST_F(Shadow, EmergencyWithKeptFilesClosesAndReminds) {
  settings.threads = 2;
  settings.filecount = 1;
  settings.delete_files = false;
  settings.verbose = true;
  Worker* w0 = make_worker(0);
  Worker* w1 = make_worker(1);
  ::testing::internal::CaptureStdout();
  start_pass(w0);
  start_pass(w1);
  int fd0 = w0->slots[0].descriptor, fd1 = w1->slots[0].descriptor;
  ::testing::internal::GetCapturedStdout();

  ASSERT_TRUE(begin_emergency());
  ::testing::internal::CaptureStdout();
  Shadow_close_files();
  Shadow_free_buffers();
  std::string out = ::testing::internal::GetCapturedStdout();
  shadow_reset_for_test();
  // The clean-up owned and released everything: forget it here.
  std::memset(static_cast<void*>(w0->slots), 0, sizeof w0->slots);
  std::memset(static_cast<void*>(w1->slots), 0, sizeof w1->slots);
  EXPECT_EQ(out,
            "Shadow_close_files.\n"
            "Remain temporary files. Remove them manually.\n"
            "Remain temporary files. Remove them manually.\n"
            "Shadow_free_buffers.\n");
  EXPECT_FALSE(descriptor_open(fd0));
  EXPECT_FALSE(descriptor_open(fd1));
  EXPECT_EQ(dir_.entries().size(), 2u);
}

TEST_F(Shadow, BusyWorkerIsDeletedByNameAndPointedAtDevNull) {
  settings.threads = 2;
  settings.filecount = 2;
  Worker* busy = make_worker(0);
  Worker* idle = make_worker(1);
  start_pass(busy);
  start_pass(idle);
  int busy_fd[2] = {busy->slots[0].descriptor, busy->slots[1].descriptor};
  int idle_fd = idle->slots[0].descriptor;

  gate_enter(0);  // worker 0 is inside a transfer
  ASSERT_TRUE(begin_emergency());
  ::testing::internal::CaptureStderr();
  Shadow_close_files();
  Shadow_free_buffers();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  // Leaving the gate now would park this thread; the reset lets it go.
  // The idle worker's slots now belong to the clean-up: forget them.
  FileSlot idle_entry = entry_at(2);
  std::memset(static_cast<void*>(idle->slots), 0, sizeof idle->slots);

  EXPECT_TRUE(dir_.entries().empty());  // every file deleted by name
  for (int j = 0; j < 2; ++j) {
    struct stat st;
    ASSERT_EQ(fstat(busy_fd[j], &st), 0) << "never closed under a transfer";
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "now /dev/null";
    // A late write lands nowhere, from the buffer the worker still owns.
    EXPECT_EQ(write(busy_fd[j], busy->slots[j].write_buffer, 4096), 4096);
    EXPECT_EQ(busy->slots[j].write_buffer[4095], j);
    EXPECT_EQ(entry_at(j).write_buffer, busy->slots[j].write_buffer);
  }
  EXPECT_FALSE(descriptor_open(idle_fd));
  EXPECT_EQ(idle_entry.write_buffer, nullptr);  // the idle worker's released
  EXPECT_EQ(idle_entry.descriptor, -1);
  shadow_reset_for_test();  // also clears worker 0's busy flag

  for (int j = 0; j < 2; ++j) {
    close(busy->slots[j].descriptor);
    busy->slots[j].descriptor = -1;
  }
  free_buffers(busy);
}

TEST_F(Shadow, FinalCleanUpIsSilentAndClaimsTheEnd) {
  settings.threads = 1;
  settings.filecount = 2;
  settings.verbose = true;
  Worker* w = make_worker();
  ::testing::internal::CaptureStdout();
  start_pass(w);
  ::testing::internal::GetCapturedStdout();
  int fd0 = w->slots[0].descriptor;
  // Slot 1 fails its close and its unlink: still not a word.
  ASSERT_EQ(close(w->slots[1].descriptor), 0);
  ASSERT_EQ(unlink(w->slots[1].path), 0);
  entry_at(1).descriptor = 100000;

  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  shadow_final_cleanup(0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(begin_emergency());  // already claimed
  shadow_reset_for_test();

  EXPECT_FALSE(descriptor_open(fd0));
  EXPECT_TRUE(dir_.entries().empty());
  for (int j = 0; j < 2; ++j) w->slots[j].descriptor = -1;
  free_buffers(w);  // the final clean-up releases no buffer
}

// The system call a parked thread sleeps in: pause(), or where the kernel
// has none, the ppoll() the C library builds it on.
#ifdef SYS_pause
constexpr long kPauseCall = SYS_pause;
#else
constexpr long kPauseCall = SYS_ppoll;
#endif

// Waits until thread `tid` sleeps in pause(), where parked threads stay.
bool parks(pid_t tid) {
  std::string file = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(file);
    long number = -1;
    if (in >> number && number == kPauseCall) return true;
    std::this_thread::yield();
  }
  return false;
}

pid_t this_tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Ends a death-test child with `status`, removing its directory first.
[[noreturn]] void leave(const std::string& dir, int status) {
  for (const std::string& name : ScratchDir::list(dir))
    unlink((dir + "/" + name).c_str());
  rmdir(dir.c_str());
  _exit(status);
}

// Runs in the death-test child: every way in after begin_emergency parks,
// and so does a worker leaving a gate it entered before.
void parks_after_emergency() {
  char dir_template[] = "/tmp/iochurn_park_XXXXXX";
  if (mkdtemp(dir_template) == nullptr) _exit(20);
  static std::string dir = dir_template;
  reset_run_settings(&settings);
  shadow_reset_for_test();
  settings.threads = 8;
  settings.filecount = 1;
  std::string path = dir + "/late.DUMMY";
  constexpr int kWays = 4;
  static std::atomic<pid_t> tids[kWays];
  static std::atomic<bool> passed[kWays];
  static std::atomic<bool> step_ran{false};
  static std::atomic<int> late_fd{-1};
  static NoDestructor<AutoResetEvent> inside, go_on;

  gate_enter(5);  // before the emergency the gate lets us through
  gate_leave(5);
  std::thread([] {
    tids[3] = this_tid();
    gate_enter(3);
    inside->set();
    go_on->wait(-1);
    gate_leave(3);  // the transfer "returned" after the clean-up began
    passed[3] = true;
  }).detach();
  if (inside->wait(20000) != WaitResult::kSignalled) leave(dir, 23);

  if (!begin_emergency()) leave(dir, 21);
  go_on->set();
  std::thread([] {
    tids[0] = this_tid();
    gate_enter(5);
    passed[0] = true;
  }).detach();
  std::thread([path] {
    tids[1] = this_tid();
    FileSlot slot{};
    std::snprintf(slot.path, sizeof slot.path, "%s", path.c_str());
    shadow_set_slot(6, 0, slot);
    open_begin();
    late_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    shadow_set_descriptor(6, 0, late_fd.load());
    passed[1] = true;
  }).detach();
  std::thread([] {
    tids[2] = this_tid();
    shadow_cleanup_step(7, [](void*) { step_ran = true; }, nullptr);
    passed[2] = true;
  }).detach();

  for (int i = 0; i < kWays; ++i) {
    while (tids[i].load() == 0) std::this_thread::yield();
    if (!parks(tids[i].load())) leave(dir, 30 + i);
    if (passed[i]) leave(dir, 40 + i);
  }
  if (step_ran) leave(dir, 50);
  // The open in flight closed and deleted its own file before parking.
  if (late_fd < 0 || descriptor_open(late_fd)) leave(dir, 51);
  if (file_exists(path)) leave(dir, 52);
  if (entry_at(6).descriptor != 0) leave(dir, 53);  // never mirrored
  leave(dir, 0);
}

TEST(ShadowDeathTest, EveryWayInParksOnceTheEmergencyHasBegun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(parks_after_emergency(), ::testing::ExitedWithCode(0), "");
}

// Runs in the death-test child: real workers pass after pass while the
// emergency clean-up strikes after `strike_after` passes of each; afterwards
// every worker is parked, nothing was released twice (the sanitizers watch)
// and no file is left.
void emergency_against_running_workers(int strike_after) {
  int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDOUT_FILENO);  // the workers' progress symbols
  dup2(null_fd, STDERR_FILENO);  // reports of transfers cut off
  close(null_fd);
  char dir_template[] = "/tmp/iochurn_storm_XXXXXX";
  if (mkdtemp(dir_template) == nullptr) _exit(20);
  static std::string dir = dir_template;
  reset_run_settings(&settings);
  shadow_reset_for_test();
  if (shadow_prepare() != 0) leave(dir, 21);
  settings.workdir = dir.c_str();
  constexpr int kWorkers = 3;
  settings.threads = kWorkers;
  settings.filecount = 2;
  settings.bufsize = 1;
  settings.filesize = 1;
  static std::atomic<int> passes[kWorkers];
  static std::atomic<pid_t> tids[kWorkers];

  for (int index = 0; index < kWorkers; ++index) {
    std::thread([index] {
      tids[index] = this_tid();
      auto* w = new Worker();  // parked with it for good
      fill_thread_params(settings, index, &w->params);
      w->index = index;
      w->pid = static_cast<int32_t>(getpid());
      for (;;) {
        PassFixture::start_pass(w);
        write_phase(w);
        read_verify_phase(w);
        PassFixture::end_pass(w);
        passes[index].fetch_add(1);
      }
    }).detach();
  }
  for (int index = 0; index < kWorkers; ++index)
    while (passes[index].load() < strike_after) std::this_thread::yield();
  // Shift the moment a little further within the pass.
  volatile unsigned spin = 0;
  while (spin < static_cast<unsigned>(strike_after) * 40000u) spin = spin + 1;

  if (!begin_emergency()) leave(dir, 22);
  Shadow_close_files();
  Shadow_free_buffers();
  settle_open_files();
  for (int index = 0; index < kWorkers; ++index) {
    while (tids[index].load() == 0) std::this_thread::yield();  // late start
    if (!parks(tids[index].load())) leave(dir, 30 + index);
  }
  if (!ScratchDir::list(dir).empty()) leave(dir, 40);
  leave(dir, 0);
}

TEST(ShadowDeathTest, EmergencyAgainstRunningWorkersLeavesNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int strike_after = 0; strike_after < 4; ++strike_after)
    EXPECT_EXIT(emergency_against_running_workers(strike_after),
                ::testing::ExitedWithCode(0), "")
        << "strike after " << strike_after << " passes";
}


// The bound on the clean-ups: a worker stuck while it holds its entry lock
// never holds the clean-up, and the wait for the clean-up lasts only while it
// moves.

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
