// File slots: names, buffer fills, set-up, creation and the pass clean-up on
// a real directory.
#include "worker/slots.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "guard/slot_release.h"
#include "support/pass_fixture.h"
#include "support/scratch_dir.h"

namespace iochurn {
namespace {

using testing_support::file_exists;
using testing_support::PassFixture;
using testing_support::read_file;
using testing_support::write_file;

TEST(BuildTempPath, Samples) {
  char out[kPathSize];
  ASSERT_TRUE(build_temp_path(out, sizeof out, "/tmp", 123, 0, 2));
  EXPECT_STREQ(out, "/tmp/123_0_2.DUMMY");
  ASSERT_TRUE(build_temp_path(out, sizeof out, "/a b", 4194303, 499, 99));
  EXPECT_STREQ(out, "/a b/4194303_499_99.DUMMY");
  ASSERT_TRUE(build_temp_path(out, sizeof out, "", 1, 2, 3));
  EXPECT_STREQ(out, "/1_2_3.DUMMY");

  // "/tmp/123_0_2.DUMMY" is 18 characters: it needs 19 bytes.
  char exact[19];
  EXPECT_TRUE(build_temp_path(exact, sizeof exact, "/tmp", 123, 0, 2));
  EXPECT_STREQ(exact, "/tmp/123_0_2.DUMMY");
  char short_by_one[18];
  EXPECT_FALSE(build_temp_path(short_by_one, sizeof short_by_one, "/tmp", 123, 0, 2));

  std::string long_dir = "/" + std::string(250, 'x');
  EXPECT_FALSE(build_temp_path(out, sizeof out, long_dir.c_str(), 123, 0, 2));
}

TEST(FillBuffer, SlotNumberFillUsesTheLowEightBits) {
  std::vector<uint8_t> buffer(4099, 0xAA);
  struct {
    int slot;
    uint8_t value;
  } rows[] = {{0, 0}, {1, 1}, {99, 99}, {255, 255}, {256, 0}, {257, 1}};
  for (const auto& r : rows) {
    fill_buffer(buffer.data(), buffer.size() - 1, r.slot, false, 77);
    for (size_t i = 0; i + 1 < buffer.size(); ++i)
      ASSERT_EQ(buffer[i], r.value) << "slot " << r.slot << " byte " << i;
    EXPECT_EQ(buffer.back(), 0xAA) << "wrote past the end";
  }
}

TEST(FillRandom, SameBytesAsSrandAndRand) {
  const unsigned seeds[] = {0u, 1u, 2u, 42u, 12345u, 1765098303u,
                            0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
  constexpr size_t kBytes = 5000;
  for (unsigned seed : seeds) {
    std::vector<uint8_t> expected(kBytes);
    std::srand(seed);
    for (auto& b : expected) b = static_cast<uint8_t>(std::rand());

    std::vector<uint8_t> got(kBytes + 1, 0xAA);
    fill_random(got.data(), kBytes, seed);
    for (size_t i = 0; i < kBytes; ++i)
      ASSERT_EQ(got[i], expected[i]) << "seed " << seed << " byte " << i;
    EXPECT_EQ(got[kBytes], 0xAA);

    std::vector<uint8_t> via_fill(kBytes);
    fill_buffer(via_fill.data(), kBytes, 3, true, seed);
    EXPECT_EQ(via_fill, expected) << "seed " << seed;
  }
}

class FileSlots : public PassFixture {};

TEST_F(FileSlots, SetupClearsAllSlotsAndPreparesTheUsedOnes) {
  Worker* w = make_worker();
  // Leftovers of an earlier pass in used and unused slots.
  w->slots[0].descriptor = 55;
  w->slots[1].write_sum = 9;
  std::strcpy(w->slots[1].path, "stale");
  w->slots[50].descriptor = 7;
  w->slots[99].buffer_size = 1;

  setup_slots(w);
  for (int j = 0; j < 3; ++j) {
    const FileSlot& s = w->slots[j];
    EXPECT_EQ(s.buffer_size, 1u << 20);
    EXPECT_EQ(s.file_size, uint64_t{2} << 20);
    EXPECT_EQ(s.read_buffer, nullptr);
    EXPECT_EQ(s.write_buffer, nullptr);
    EXPECT_EQ(s.descriptor, -1);
    EXPECT_STREQ(s.path, "");
    EXPECT_EQ(s.write_sum, kNoSum);
  }
  const FileSlot zero{};
  for (int j = 3; j < kMaxFiles; ++j)
    EXPECT_EQ(std::memcmp(&w->slots[j], &zero, sizeof zero), 0) << j;

  settings.filecount = -2;  // a worker with no files
  setup_slots(w);
  for (int j = 0; j < kMaxFiles; ++j)
    EXPECT_EQ(std::memcmp(&w->slots[j], &zero, sizeof zero), 0) << j;
}

TEST_F(FileSlots, SharedBuffersFilesAndCleanUp) {
  settings.verbose = true;
  Worker* w = make_worker();
  ::testing::internal::CaptureStdout();
  start_pass(w);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "Thread 0: Init read_write_buffer 0\n"
            "Thread 0: Init read_write_buffer 1\n"
            "Thread 0: Init read_write_buffer 2\n"
            "Thread 0: Create files. 3 files, each size = 2 Mbytes\n");
  EXPECT_EQ(run_counts(w).other_errors, 0u);

  for (int j = 0; j < 3; ++j) {
    const FileSlot& s = w->slots[j];
    ASSERT_NE(s.write_buffer, nullptr);
    EXPECT_EQ(s.read_buffer, s.write_buffer);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s.write_buffer) % 4096, 0u)
        << "direct I/O needs page alignment";
    for (uint32_t i = 0; i < s.buffer_size; ++i)
      ASSERT_EQ(s.write_buffer[i], j) << j << "/" << i;
    EXPECT_EQ(s.path, dir_.file(temp_name(w, j)));
    ASSERT_GE(s.descriptor, 0);
    struct stat st;
    ASSERT_EQ(fstat(s.descriptor, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(fcntl(s.descriptor, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  }
  EXPECT_EQ(dir_.entries().size(), 3u);

  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  close_files(w);
  free_buffers(w);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(dir_.entries().empty());
  for (int j = 0; j < 3; ++j) {
    EXPECT_EQ(w->slots[j].descriptor, -1);
    EXPECT_EQ(w->slots[j].read_buffer, nullptr);
    EXPECT_EQ(w->slots[j].write_buffer, nullptr);
  }
}

TEST_F(FileSlots, SeparateBuffersComeAfterAllWriteBuffers) {
  settings.verbose = true;
  settings.separate_buffers = true;
  Worker* w = make_worker(4);
  settings.threads = 5;
  ::testing::internal::CaptureStdout();
  setup_slots(w);
  allocate_buffers(w);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Thread 4: Init write_buffer 0\n"
            "Thread 4: Init write_buffer 1\n"
            "Thread 4: Init write_buffer 2\n"
            "Thread 4: Init read_buffer 0\n"
            "Thread 4: Init read_buffer 1\n"
            "Thread 4: Init read_buffer 2\n");
  for (int j = 0; j < 3; ++j) {
    const FileSlot& s = w->slots[j];
    ASSERT_NE(s.write_buffer, nullptr);
    ASSERT_NE(s.read_buffer, nullptr);
    EXPECT_NE(s.read_buffer, s.write_buffer);
    EXPECT_EQ(s.read_buffer[0], j);
    EXPECT_EQ(s.read_buffer[s.buffer_size - 1], j);
    EXPECT_EQ(s.write_buffer[s.buffer_size - 1], j);
  }
  free_buffers(w);  // each of the six released once (the sanitizers watch)
  for (int j = 0; j < 3; ++j) EXPECT_EQ(w->slots[j].read_buffer, nullptr);
}

TEST_F(FileSlots, MissingWorkdirFailsEveryOpenOnce) {
  std::string missing = dir_.file("missing");
  settings.workdir = missing.c_str();
  Worker* w = make_worker();
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  start_pass(w);
  write_phase(w);
  read_verify_phase(w);
  end_pass(w);
  std::string err = ::testing::internal::GetCapturedStderr();
  std::string out = ::testing::internal::GetCapturedStdout();

  std::string expected;
  for (int j = 0; j < 3; ++j)
    expected += "Thread 0: ERR [open]: No such file or directory for file " +
                missing + "/" + temp_name(w, j) + "\n";
  EXPECT_EQ(err, expected);
  EXPECT_EQ(out, "");  // no transfers, no symbols
  EXPECT_EQ(run_counts(w).other_errors, 3u);
  EXPECT_EQ(run_counts(w).compare_errors, 0u);
  EXPECT_EQ(run_counts(w).bytes_written, 0u);
  EXPECT_EQ(run_counts(w).bytes_read, 0u);
}

TEST_F(FileSlots, PlantedLinkIsNeverFollowed) {
  Worker* w = make_worker();
  std::string target = dir_.file("target");
  write_file(target, "precious");
  ASSERT_EQ(symlink(target.c_str(), dir_.file(temp_name(w, 1)).c_str()), 0);

  ::testing::internal::CaptureStderr();
  start_pass(w);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Thread 0: ERR [open]: " + std::string(std::strerror(ELOOP)) +
                     " for file " + dir_.file(temp_name(w, 1)) + "\n");
  EXPECT_EQ(run_counts(w).other_errors, 1u);
  EXPECT_EQ(w->slots[1].descriptor, -1);
  EXPECT_GE(w->slots[0].descriptor, 0);
  EXPECT_GE(w->slots[2].descriptor, 0);

  ::testing::internal::CaptureStdout();
  write_phase(w);
  read_verify_phase(w);
  ::testing::internal::GetCapturedStdout();
  end_pass(w);
  EXPECT_EQ(read_file(target), "precious");
  // The failed slot is not closed or deleted: the link stays, the rest go.
  EXPECT_EQ(dir_.entries(),
            (std::vector<std::string>{temp_name(w, 1), "target"}));
}

TEST_F(FileSlots, KeptFilesAreRemindedAndTruncatedByTheNextPass) {
  settings.delete_files = false;
  settings.verbose = true;
  Worker* w = make_worker();
  ::testing::internal::CaptureStdout();
  start_pass(w);
  write_phase(w);
  ::testing::internal::GetCapturedStdout();
  ::testing::internal::CaptureStdout();
  close_files(w);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "Remain temporary files. Remove them manually.\n"
            "Remain temporary files. Remove them manually.\n"
            "Remain temporary files. Remove them manually.\n");
  free_buffers(w);
  ASSERT_EQ(dir_.entries().size(), 3u);
  struct stat st;
  ASSERT_EQ(stat(dir_.file(temp_name(w, 2)).c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 2 << 20);

  settings.verbose = false;
  start_pass(w);  // the same names again, truncated on open
  ASSERT_EQ(stat(dir_.file(temp_name(w, 2)).c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(run_counts(w).other_errors, 0u);
  end_pass(w);
  EXPECT_EQ(dir_.entries().size(), 3u);
}

TEST_F(FileSlots, CloseAndUnlinkFailuresAreReportedNotCounted) {
  Worker* w = make_worker();
  start_pass(w);
  // Slot 1: a descriptor number nothing holds; slot 2: its file already gone.
  ASSERT_EQ(close(w->slots[1].descriptor), 0);
  w->slots[1].descriptor = 100000;
  ASSERT_EQ(unlink(w->slots[2].path), 0);

  ::testing::internal::CaptureStderr();
  close_files(w);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "ERR [close]: Bad file descriptor for buffer 1\n"
            "ERR [unlink]: No such file or directory for buffer 2\n");
  EXPECT_EQ(run_counts(w).other_errors, 0u);
  EXPECT_TRUE(dir_.entries().empty());  // deleted although the close failed
  for (int j = 0; j < 3; ++j) EXPECT_EQ(w->slots[j].descriptor, -1);
  free_buffers(w);

  ::testing::internal::CaptureStderr();
  report_cleanup_failure("close", EIO, 4999);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "ERR [close]: Input/output error for buffer 4999\n");
}

TEST_F(FileSlots, AFailedCloseOfAKeptFileNamesTheSlotNotTheThread) {
  settings.keep_failed = true;
  settings.keep_failed_max = 5;
  reset_kept_files();
  Worker* w = make_worker(4);
  w->pass = 1;
  start_pass(w);
  // Slot 2 failed verification; its descriptor is a number nothing holds.
  ASSERT_EQ(close(w->slots[2].descriptor), 0);
  w->slots[2].descriptor = 100000;
  w->slots[2].data_failed = true;
  std::string kept = std::string(w->slots[2].path) + ".1.failed";

  ::testing::internal::CaptureStderr();
  close_files(w);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "ERR [close]: Bad file descriptor for buffer 2\n"
            "Thread 4: failed file kept as " + kept + "\n");
  EXPECT_EQ(w->slots[2].descriptor, -1);
  EXPECT_EQ(unlink(kept.c_str()), 0);
  free_buffers(w);
  reset_kept_files();
}

}  // namespace
}  // namespace iochurn
