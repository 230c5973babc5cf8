// The phases with block verification: what is reported where, what counts
// as a compare error, and the evidence kept for a failed file.
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "guard/slot_release.h"
#include "ledger/run_record.h"
#include "support/pass_fixture.h"
#include "verify/block_tag.h"
#include "worker/transfer.h"

namespace iochurn {
namespace {

using testing_support::PassFixture;

constexpr uint64_t kMB = uint64_t{1} << 20;
constexpr uint32_t kBlock = 4096;

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1))
    ++n;
  return n;
}

class VerifyBlocks : public PassFixture {
 protected:
  void SetUp() override {
    PassFixture::SetUp();
    settings.verify_mode = VerifyMode::kBlocks;
    settings.verify_block = kBlock;
    reset_run_record();
    reset_kept_files();
    choose_block_run_id();
  }

  // Runs both phases on a fresh pass of worker 0, with `between` done to
  // the files in between; returns standard error.
  template <typename Between>
  std::string run(Worker* w, Between between) {
    w->pass = 1;
    w->generation = record_worker_start(w->index);
    start_pass(w);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    write_phase(w);
    between();
    read_verify_phase(w);
    std::string err = ::testing::internal::GetCapturedStderr();
    ::testing::internal::GetCapturedStdout();
    return err;
  }

  static void swap_blocks(int fd, uint64_t a, uint64_t b) {
    std::vector<uint8_t> x(kBlock), y(kBlock);
    ASSERT_EQ(pread(fd, x.data(), kBlock, a), kBlock);
    ASSERT_EQ(pread(fd, y.data(), kBlock, b), kBlock);
    ASSERT_EQ(pwrite(fd, y.data(), kBlock, a), kBlock);
    ASSERT_EQ(pwrite(fd, x.data(), kBlock, b), kBlock);
  }

  static void zero_blocks(int fd, uint64_t at, int blocks) {
    std::vector<uint8_t> zero(kBlock * blocks, 0);
    ASSERT_EQ(pwrite(fd, zero.data(), zero.size(), at),
              static_cast<ssize_t>(zero.size()));
  }
};

TEST_F(VerifyBlocks, SwappedBlocksAreNamedWithFileAndOffset) {
  Worker* w = make_worker();
  std::string err = run(w, [w] {
    swap_blocks(w->slots[1].descriptor, 3 * kBlock, 300 * kBlock);
  });
  std::string path = w->slots[1].path;
  EXPECT_NE(err.find("\nThread 0: ERR [verify]: misplaced block at offset " +
                     std::to_string(3 * kBlock) + " of " + path +
                     " (found: offset=" + std::to_string(300 * kBlock) + ")\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("misplaced block at offset " +
                     std::to_string(300 * kBlock) + " of " + path +
                     " (found: offset=" + std::to_string(3 * kBlock) + ")"),
            std::string::npos)
      << err;
  // The additive sum cannot see a rearrangement: no chksum line.
  EXPECT_EQ(err.find("ERR [chksum]"), std::string::npos) << err;
  EXPECT_EQ(run_counts(w).compare_errors, 1u);
  EXPECT_EQ(run_counts(w).other_errors, 0u);
  EXPECT_EQ(worker_records[0].files_different.load(), 1u);
  EXPECT_EQ(worker_records[0]
                .bad_blocks[static_cast<int>(BlockKind::kMisplaced)]
                .load(),
            2u);
  end_pass(w);
  EXPECT_TRUE(dir_.entries().empty());
}

TEST_F(VerifyBlocks, NamesEightBadBlocksPerFileAndCountsTheRest) {
  Worker* w = make_worker();
  std::string err = run(w, [w] {
    zero_blocks(w->slots[0].descriptor, 16 * kBlock, 11);
  });
  EXPECT_EQ(count_of(err, "ERR [verify]: zeroed block at offset"), 8) << err;
  EXPECT_NE(err.find("\nThread 0: ERR [verify]: 3 more bad blocks in " +
                     std::string(w->slots[0].path) + "\n"),
            std::string::npos)
      << err;
  // Zeroed bytes change the sum too: its line follows, still one compare
  // error for the file.
  EXPECT_EQ(count_of(err, "ERR [chksum]"), 1) << err;
  EXPECT_EQ(run_counts(w).compare_errors, 1u);
  end_pass(w);
}

TEST_F(VerifyBlocks, FilesThatCouldNotBeReadWholeAreNotCompared) {
  Worker* w = make_worker();
  std::string err = run(w, [w] {
    // A full file system or a lost tail: the read comes up short.
    ASSERT_EQ(ftruncate(w->slots[0].descriptor, kMB), 0);
    ASSERT_EQ(ftruncate(w->slots[1].descriptor, kMB + 512), 0);
  });
  EXPECT_EQ(count_of(err, "ERR [read]"), 2) << err;
  EXPECT_EQ(err.find("ERR [verify]"), std::string::npos) << err;
  EXPECT_EQ(err.find("ERR [chksum]"), std::string::npos) << err;
  EXPECT_EQ(run_counts(w).compare_errors, 0u);
  EXPECT_EQ(run_counts(w).other_errors, 2u);
  EXPECT_EQ(worker_records[0].files_different.load(), 0u);
  end_pass(w);
}

TEST_F(VerifyBlocks, SumModeStillComparesShortReadsButNeverCallsThemDifferent) {
  settings.verify_mode = VerifyMode::kSum;
  Worker* w = make_worker();
  std::string err = run(w, [w] {
    ASSERT_EQ(ftruncate(w->slots[1].descriptor, kMB), 0);
  });
  EXPECT_EQ(count_of(err, "ERR [chksum]"), 1) << err;
  EXPECT_EQ(run_counts(w).compare_errors, 1u);
  EXPECT_EQ(worker_records[0].files_different.load(), 0u);
  end_pass(w);
}

TEST_F(VerifyBlocks, FailedFilesAreKeptAsEvidenceWithinTheAllowance) {
  settings.keep_failed = true;
  settings.keep_failed_max = 1;
  Worker* w = make_worker();
  std::string err = run(w, [w] {
    zero_blocks(w->slots[0].descriptor, 0, 1);
    zero_blocks(w->slots[2].descriptor, kBlock, 1);
  });
  std::string kept = std::string(w->slots[0].path) + ".1.failed";
  ::testing::internal::CaptureStderr();
  end_pass(w);
  err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Thread 0: failed file kept as " + kept + "\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Thread 0: 1 failed files kept; further failed files "
                     "are deleted\n"),
            std::string::npos)
      << err;
  // Only the kept file remains; the second failed file went as usual.
  auto left = dir_.entries();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(workdir_ + "/" + left[0], kept);
  ASSERT_EQ(unlink(kept.c_str()), 0);
}

TEST_F(VerifyBlocks, RandomFillAndSeparateBuffersVerifyClean) {
  settings.random_fill = true;
  settings.separate_buffers = true;
  settings.bufsize = 1;
  settings.filesize = 3;
  settings.verify_block = 65536;
  Worker* w = make_worker();
  std::string err = run(w, [] {});
  EXPECT_EQ(err, "");
  EXPECT_EQ(run_counts(w).compare_errors, 0u);
  end_pass(w);
}

}  // namespace
}  // namespace iochurn
