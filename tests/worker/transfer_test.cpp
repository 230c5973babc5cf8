// Write and read-verify phases on real files: chunking, sums, counters,
// progress output and every failure the failure table names.
#include "worker/transfer.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "guard/break_handler.h"
#include "guard/watchdog.h"
#include "ledger/run_record.h"
#include "support/pass_fixture.h"
#include "support/scratch_dir.h"
#include "verify/additive_sum.h"

namespace iochurn {
namespace {

using testing_support::PassFixture;
using testing_support::read_file;

constexpr uint64_t kMB = uint64_t{1} << 20;

// Shell-style match: '*' stands for an error text left to the system.
bool like(const std::string& text, const char* pattern) {
  return fnmatch(pattern, text.c_str(), 0) == 0;
}

// The symbols and sizes of a whole file's chunks.
std::string walk(uint64_t file, uint32_t buffer, std::vector<uint64_t>* sizes) {
  std::string symbols;
  uint64_t total = 0;
  for (uint64_t remaining = file; remaining != 0;) {
    Chunk c = next_chunk(remaining, buffer);
    if (c.bytes == 0 || c.bytes > remaining) {
      ADD_FAILURE() << "chunk of " << c.bytes << " with " << remaining << " left";
      break;
    }
    symbols += c.symbol;
    sizes->push_back(c.bytes);
    total += c.bytes;
    remaining -= c.bytes;
  }
  EXPECT_EQ(total, file);
  return symbols;
}

TEST(NextChunk, WholeFiles) {
  std::vector<uint64_t> sizes;
  EXPECT_EQ(walk(16 * kMB, 4 * kMB, &sizes), "****");
  EXPECT_EQ(sizes, std::vector<uint64_t>(4, 4 * kMB));

  sizes.clear();
  EXPECT_EQ(walk(16 * kMB, 5 * kMB, &sizes), "***.");
  EXPECT_EQ(sizes, (std::vector<uint64_t>{5 * kMB, 5 * kMB, 5 * kMB, kMB}));

  sizes.clear();
  EXPECT_EQ(walk(2 * kMB, 4 * kMB, &sizes), ".");
  EXPECT_EQ(sizes, std::vector<uint64_t>{2 * kMB});

  sizes.clear();
  EXPECT_EQ(walk(4 * kMB, 4 * kMB, &sizes), "*");

  // Remainders past 32 bits stay whole.
  Chunk c = next_chunk(uint64_t{4294967295u} * kMB, 2047u << 20);
  EXPECT_EQ(c.bytes, uint64_t{2047} << 20);
  EXPECT_EQ(c.symbol, '*');
  c = next_chunk(uint64_t{5} << 32, 4u << 20);
  EXPECT_EQ(c.bytes, 4 * kMB);
  EXPECT_EQ(c.symbol, '*');
  c = next_chunk(1, 1u << 20);
  EXPECT_EQ(c.bytes, 1u);
  EXPECT_EQ(c.symbol, '.');
}

class Transfer : public PassFixture {
 protected:
  // Runs both phases with the output captured; `between` may damage the
  // files after the write phase.
  template <typename Between>
  void run_phases(Worker* w, std::string* out, std::string* err,
                  Between between) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    write_phase(w);
    between();
    read_verify_phase(w);
    *err = ::testing::internal::GetCapturedStderr();
    *out = ::testing::internal::GetCapturedStdout();
  }
  void run_phases(Worker* w, std::string* out, std::string* err) {
    run_phases(w, out, err, [] {});
  }

  // Puts `replacement` under slot j's descriptor number, as if the file had
  // turned into something else behind the worker's back.
  static void swap_descriptor(Worker* w, int j, int replacement) {
    ASSERT_GE(replacement, 0);
    ASSERT_EQ(dup2(replacement, w->slots[j].descriptor), w->slots[j].descriptor);
    close(replacement);
  }
};

TEST_F(Transfer, ARerunOnAnIndexCountsOnlyItsOwnShareOfTheRecord) {
  RecordTotals earlier;  // what other tests left in the records
  sum_records(3, &earlier);
  Worker* first = make_worker(2);
  start_pass(first);
  std::string out, err;
  run_phases(first, &out, &err, [first] {
    ASSERT_EQ(ftruncate(first->slots[1].descriptor, kMB), 0);
  });
  end_pass(first);
  Totals one = run_counts(first);
  EXPECT_EQ(one.bytes_written, 6 * kMB);
  EXPECT_EQ(one.bytes_read, 5 * kMB);
  EXPECT_EQ(one.other_errors, 1u);  // the short read
  EXPECT_EQ(one.compare_errors, 1u);
  add_to_summary(one);

  // The next run on the index starts from what the record holds by now.
  Worker* second = make_worker(2);
  start_pass(second);
  run_phases(second, &out, &err);
  end_pass(second);
  Totals two = run_counts(second);
  EXPECT_EQ(two.bytes_written, 6 * kMB);
  EXPECT_EQ(two.bytes_read, 6 * kMB);
  EXPECT_EQ(two.other_errors + two.compare_errors, 0u);
  add_to_summary(two);

  // The record holds both runs, each byte once; so does the summary.
  RecordTotals live;
  sum_records(3, &live);
  EXPECT_EQ(live.counts.bytes_read - earlier.counts.bytes_read, 11 * kMB);
  EXPECT_EQ(live.counts.other_errors - earlier.counts.other_errors, 1u);
  SummaryTotals summary = summary_snapshot();
  EXPECT_EQ(summary.Read_Bytes, 11 * kMB);
  EXPECT_EQ(summary.Write_Bytes, 12 * kMB);
  EXPECT_EQ(summary.Compare_Errors, 1u);
  EXPECT_EQ(summary.Other_Errors, 1u);
}

TEST_F(Transfer, CleanPassWithSlotNumberFill) {
  Worker* w = make_worker();
  start_pass(w);
  ::testing::internal::CaptureStdout();
  write_phase(w);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "w**w**w**");
  EXPECT_EQ(w->slots[0].write_sum, 0u);
  EXPECT_EQ(w->slots[1].write_sum, 2097152u);
  EXPECT_EQ(w->slots[2].write_sum, 4194304u);
  // The files hold their slot's byte, the whole file size.
  for (int j = 0; j < 3; ++j) {
    std::string content = read_file(w->slots[j].path);
    ASSERT_EQ(content.size(), 2 * kMB);
    EXPECT_EQ(content, std::string(2 * kMB, static_cast<char>(j)));
  }

  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  read_verify_phase(w);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "r**r**r**");
  EXPECT_EQ(run_counts(w).bytes_written, 6 * kMB);
  EXPECT_EQ(run_counts(w).bytes_read, 6 * kMB);
  EXPECT_EQ(run_counts(w).compare_errors, 0u);
  EXPECT_EQ(run_counts(w).other_errors, 0u);

  end_pass(w);
  EXPECT_TRUE(dir_.entries().empty());
}

TEST_F(Transfer, VerboseCommentary) {
  settings.verbose = true;
  settings.filecount = 2;
  settings.bufsize = 3;  // larger than the file: one short chunk each
  Worker* w = make_worker(7);
  settings.threads = 8;
  ::testing::internal::CaptureStdout();
  start_pass(w);
  ::testing::internal::GetCapturedStdout();
  std::string out, err;
  run_phases(w, &out, &err);
  EXPECT_EQ(out,
            "Thread 7: Write files from memory buffers.\n"
            "Thread 7: Write file 0: .\n"
            "Thread 7: Additive sum 0 for file 0\n"
            "Thread 7: Write file 1: .\n"
            "Thread 7: Additive sum 2097152 for file 1\n"
            "Thread 7: Read files to memory buffers.\n"
            "Thread 7: Read file 0: .\n"
            "Thread 7: Additive sum 0 for file 0\n"
            "Thread 7: Read file 1: .\n"
            "Thread 7: Additive sum 2097152 for file 1\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(run_counts(w).bytes_written, 4 * kMB);
  EXPECT_EQ(run_counts(w).bytes_read, 4 * kMB);
  settings.verbose = false;
  end_pass(w);
}

TEST_F(Transfer, PartialLastChunkAndRandomFill) {
  settings.filesize = 5;
  settings.bufsize = 2;
  settings.random_fill = true;
  Worker* w = make_worker();
  start_pass(w);
  std::string out, err;
  run_phases(w, &out, &err);
  EXPECT_EQ(out, "w**.w**.w**.r**.r**.r**.");
  EXPECT_EQ(err, "");
  for (int j = 0; j < 3; ++j) {
    const FileSlot& s = w->slots[j];
    // Two whole buffers and half of one, all from the buffer's start.
    uint32_t expected = 2 * additive_sum_bytewise(s.write_buffer, 2 * kMB) +
                        additive_sum_bytewise(s.write_buffer, kMB);
    EXPECT_EQ(s.write_sum, expected) << j;
  }
  EXPECT_EQ(run_counts(w).bytes_written, 15 * kMB);
  EXPECT_EQ(run_counts(w).bytes_read, 15 * kMB);
  EXPECT_EQ(run_counts(w).compare_errors, 0u);
  EXPECT_EQ(run_counts(w).other_errors, 0u);
  end_pass(w);
}

TEST_F(Transfer, SeparateBuffersReadIntoTheReadBuffer) {
  settings.separate_buffers = true;
  Worker* w = make_worker();
  start_pass(w);
  for (int j = 0; j < 3; ++j)
    std::memset(w->slots[j].read_buffer, 0xEE, w->slots[j].buffer_size);
  std::string out, err;
  run_phases(w, &out, &err);
  EXPECT_EQ(err, "");
  EXPECT_EQ(run_counts(w).compare_errors, 0u);
  EXPECT_EQ(run_counts(w).other_errors, 0u);
  for (int j = 0; j < 3; ++j) {
    EXPECT_EQ(w->slots[j].read_buffer[0], j);
    EXPECT_EQ(w->slots[j].read_buffer[kMB - 1], j);
  }
  end_pass(w);
}

TEST_F(Transfer, ShortenedFilesGiveReadAndCompareErrors) {
  settings.verbose = true;
  Worker* w = make_worker();
  ::testing::internal::CaptureStdout();
  start_pass(w);
  ::testing::internal::GetCapturedStdout();
  std::string out, err;
  run_phases(w, &out, &err, [w] {
    // Slot 0 loses zero bytes (its sum stays), slot 1 loses ones.
    ASSERT_EQ(ftruncate(w->slots[0].descriptor, kMB), 0);
    ASSERT_EQ(ftruncate(w->slots[1].descriptor, kMB), 0);
  });
  EXPECT_EQ(run_counts(w).other_errors, 2u);
  EXPECT_EQ(run_counts(w).compare_errors, 1u);
  EXPECT_EQ(run_counts(w).bytes_read, 4 * kMB);
  EXPECT_EQ(run_counts(w).bytes_written, 6 * kMB);
  EXPECT_TRUE(like(err,
                   "\nThread 0: ERR \\[read\\]: * for buffer 0\n"
                   "\nThread 0: ERR \\[read\\]: * for buffer 1\n"
                   "\nThread 0: ERR \\[chksum\\]: mismatch additive sums, "
                   "write=2097152, read=1048576\n"))
      << err;
  // The short slot's sum is still printed, then the mismatch.
  EXPECT_NE(out.find("Thread 0: Read file 1: **\n"
                     "Thread 0: Additive sum 1048576 for file 1\n"
                     "ERROR on chksum!!!\n"),
            std::string::npos)
      << out;
  settings.verbose = false;
  end_pass(w);
  EXPECT_TRUE(dir_.entries().empty());
}

TEST_F(Transfer, AnEarlyEndOfFileIsNamedAsSuch) {
  for (VerifyMode mode : {VerifyMode::kSum, VerifyMode::kBlocks}) {
    settings.verify_mode = mode;
    settings.verify_block = 4096;
    Worker* w = make_worker();
    // Known to the run record, so the next reset clears what this counts.
    w->generation = record_worker_start(w->index);
    start_pass(w);
    std::string out, err;
    run_phases(w, &out, &err, [w] {
      // Slot 2 ends after 1.5 MB: the second chunk meets the end of file.
      ASSERT_EQ(ftruncate(w->slots[2].descriptor, kMB + kMB / 2), 0);
    });
    EXPECT_EQ(out, "w**w**w**r**r**r**");
    if (mode == VerifyMode::kSum) {
      EXPECT_EQ(err,
                "\nThread 0: ERR [read]: end of file after 524288 of 1048576 "
                "bytes for buffer 2\n"
                "\nThread 0: ERR [chksum]: mismatch additive sums, "
                "write=4194304, read=2097152\n");
      EXPECT_EQ(run_counts(w).other_errors, 1u);
    } else {
      EXPECT_TRUE(like(err, "\nThread 0: ERR \\[verify\\]: missing block at offset "
                            "1572864 of *_0_2.DUMMY (found: the data ends here, "
                            "524288 bytes missing)\n"))
          << err;
      EXPECT_EQ(run_counts(w).other_errors, 0u);
    }
    EXPECT_EQ(run_counts(w).compare_errors, 1u);
    EXPECT_EQ(run_counts(w).bytes_read, 5 * kMB + kMB / 2);
    end_pass(w);
    EXPECT_TRUE(dir_.entries().empty());
    reset_run_record();
  }
}

TEST_F(Transfer, FailedWriteKeepsTheSumOfTheChunkItTried) {
  Worker* w = make_worker();
  start_pass(w);
  // Slot 1 becomes read-only: its first write fails with EBADF.
  swap_descriptor(w, 1, open(w->slots[1].path, O_RDONLY | O_CLOEXEC));
  std::string out, err;
  run_phases(w, &out, &err);
  EXPECT_EQ(out, "w**w*w**r**r*r**");
  EXPECT_EQ(w->slots[1].write_sum, 1048576u);
  EXPECT_TRUE(like(err,
                   "\nThread 0: ERR \\[write\\]: Bad file descriptor for buffer 1\n"
                   "\nThread 0: ERR \\[read\\]: * for buffer 1\n"
                   "\nThread 0: ERR \\[chksum\\]: mismatch additive sums, "
                   "write=1048576, read=0\n"))
      << err;
  EXPECT_EQ(run_counts(w).bytes_written, 4 * kMB);
  EXPECT_EQ(run_counts(w).bytes_read, 4 * kMB);
  EXPECT_EQ(run_counts(w).other_errors, 2u);
  EXPECT_EQ(run_counts(w).compare_errors, 1u);
  end_pass(w);
  EXPECT_TRUE(dir_.entries().empty());
}

TEST_F(Transfer, FailedSeeksSkipTheSlotInBothPhases) {
  Worker* w = make_worker();
  start_pass(w);
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  close(pipe_ends[1]);
  swap_descriptor(w, 1, pipe_ends[0]);
  std::string out, err;
  run_phases(w, &out, &err);
  EXPECT_EQ(out, "w**w**r**r**");
  EXPECT_EQ(err,
            "Thread 0: ERR [seek/w]: Illegal seek for file 1\n"
            "Thread 0: ERR [seek/r]: Illegal seek for file 1\n");
  EXPECT_EQ(w->slots[1].write_sum, kNoSum);
  EXPECT_EQ(run_counts(w).other_errors, 2u);
  EXPECT_EQ(run_counts(w).compare_errors, 0u);
  EXPECT_EQ(run_counts(w).bytes_written, 4 * kMB);
  end_pass(w);
  EXPECT_TRUE(dir_.entries().empty());
}

TEST_F(Transfer, SyncWritesFlushEveryChunkAndAFailedFlushStopsTheFile) {
  settings.sync_writes = true;
  Worker* w = make_worker();
  start_pass(w);
  std::string out, err;
  run_phases(w, &out, &err);
  EXPECT_EQ(err, "");
  EXPECT_EQ(run_counts(w).other_errors, 0u);
  end_pass(w);

  // /dev/null takes the write but refuses the flush.
  w = make_worker();
  start_pass(w);
  swap_descriptor(w, 1, open("/dev/null", O_RDWR | O_CLOEXEC));
  run_phases(w, &out, &err);
  EXPECT_EQ(out, "w**w*w**r**r*r**");
  EXPECT_EQ(err.substr(0, err.find("\nThread 0: ERR [read]")),
            "\nThread 0: ERR [sync]: Invalid argument for buffer 1\n");
  EXPECT_EQ(w->slots[1].write_sum, 1048576u);
  EXPECT_EQ(run_counts(w).bytes_written, 5 * kMB);  // the flushed-out chunk counts
  EXPECT_EQ(run_counts(w).other_errors, 2u);        // the flush and the read
  EXPECT_EQ(run_counts(w).compare_errors, 1u);
  end_pass(w);
}

TEST_F(Transfer, GuardedTransfersRunLikeUnguardedOnes) {
  settings.alarm_control = true;
  int64_t saved_limit = watchdog_limit_ms;
  watchdog_limit_ms = 60000;
  uint64_t expiries = watchdog_expiries();
  Worker* w = make_worker(3);
  settings.threads = 4;
  start_pass(w);
  std::string out, err;
  run_phases(w, &out, &err);
  watchdog_stop(3);
  watchdog_limit_ms = saved_limit;
  EXPECT_EQ(out, "w**w**w**r**r**r**");
  EXPECT_EQ(err, "");
  EXPECT_EQ(run_counts(w).bytes_read, 6 * kMB);
  EXPECT_EQ(run_counts(w).other_errors + run_counts(w).compare_errors, 0u);
  EXPECT_EQ(watchdog_expiries(), expiries);
  EXPECT_EQ(user_break.load(), 0);
  end_pass(w);
}

}  // namespace
}  // namespace iochurn
