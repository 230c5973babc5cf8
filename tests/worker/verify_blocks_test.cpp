// The phases with block verification: what is reported where, what counts
// as a compare error, and the evidence kept for a failed file.
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
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

TEST_F(VerifyBlocks, ALostTailIsMissingDataNotAReadError) {
  Worker* w = make_worker();
  std::string err = run(w, [w] {
    // Every write succeeded; the file then lost its end, once on a block
    // boundary and once inside a block.
    ASSERT_EQ(ftruncate(w->slots[0].descriptor, kMB), 0);
    ASSERT_EQ(ftruncate(w->slots[1].descriptor, kMB + 512), 0);
  });
  EXPECT_EQ(err.find("ERR [read]"), std::string::npos) << err;
  EXPECT_EQ(err.find("ERR [chksum]"), std::string::npos) << err;
  EXPECT_NE(err.find("\nThread 0: ERR [verify]: missing block at offset 1048576 of " +
                     std::string(w->slots[0].path) +
                     " (found: the data ends here, 1048576 bytes missing)\n"),
            std::string::npos)
      << err;
  // The block cut in two is not judged: its end lies in the lost range.
  EXPECT_NE(err.find("missing block at offset 1049088 of " +
                     std::string(w->slots[1].path) +
                     " (found: the data ends here, 1048064 bytes missing)\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(count_of(err, "ERR [verify]"), 2) << err;
  EXPECT_EQ(run_counts(w).compare_errors, 2u);
  EXPECT_EQ(run_counts(w).other_errors, 0u);
  EXPECT_EQ(worker_records[0].files_different.load(), 2u);
  EXPECT_EQ(worker_records[0].bad_blocks[static_cast<int>(BlockKind::kMissing)].load(), 2u);
  EXPECT_TRUE(w->slots[0].data_failed);
  end_pass(w);
}

TEST_F(VerifyBlocks, CorruptionFoundBeforeALostTailIsKept) {
  settings.filesize = 16;
  settings.filecount = 1;
  settings.keep_failed = true;
  settings.keep_failed_max = 5;
  Worker* w = make_worker();
  std::string err = run(w, [w] {
    std::vector<uint8_t> junk(kBlock, 0x6B);
    ASSERT_EQ(pwrite(w->slots[0].descriptor, junk.data(), kBlock, kMB), kBlock);
    ASSERT_EQ(ftruncate(w->slots[0].descriptor, 12 * kMB), 0);
  });
  std::string path = w->slots[0].path;
  EXPECT_NE(err.find("ERR [verify]: unrecognised block at offset 1048576 of " + path),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("ERR [verify]: missing block at offset 12582912 of " + path +
                     " (found: the data ends here, 4194304 bytes missing)"),
            std::string::npos)
      << err;
  EXPECT_EQ(run_counts(w).compare_errors, 1u);
  EXPECT_EQ(run_counts(w).other_errors, 0u);
  RecordTotals t;
  sum_records(1, &t);
  EXPECT_EQ(t.errors[static_cast<int>(Op::kVerify)], 2u);
  EXPECT_EQ(t.errors[static_cast<int>(Op::kRead)], 0u);
  ::testing::internal::CaptureStderr();
  end_pass(w);
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(dir_.entries().size(), 1u);
  EXPECT_EQ(dir_.entries()[0], temp_name(w, 0) + ".1.failed");
  std::remove((dir_.path() + "/" + dir_.entries()[0]).c_str());
}

TEST_F(VerifyBlocks, AReadErrorStaysAnOtherErrorAfterItsBlocksAreJudged) {
  Worker* w = make_worker();
  std::string err = run(w, [w] {
    zero_blocks(w->slots[2].descriptor, 0, 2);
    // The descriptor no longer reads: EBADF at the first read.
    int fd = w->slots[1].descriptor;
    int wo = open((std::string(w->slots[1].path)).c_str(), O_WRONLY);
    ASSERT_GE(wo, 0);
    ASSERT_EQ(dup2(wo, fd), fd);
    close(wo);
  });
  EXPECT_EQ(count_of(err, "ERR [read]: Bad file descriptor for buffer 1"), 1) << err;
  EXPECT_EQ(count_of(err, "ERR [verify]: zeroed block"), 2) << err;
  EXPECT_EQ(err.find("missing block"), std::string::npos) << err;
  EXPECT_EQ(run_counts(w).compare_errors, 1u);
  EXPECT_EQ(run_counts(w).other_errors, 1u);
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
