// The job-wide decisions of the multi-host program: which status ends the
// job, which break every process repeats, and the --strict bits of all.
#include "cluster/job_state.h"

#include <gtest/gtest.h>

#include <string>

#include "exit_status.h"

namespace iochurn {
namespace {

RoundState round_of(int status, int rank, int strict_bits = 0) {
  RoundState r{};
  r.stop_key = stop_key_of(status, rank);
  r.strict_bits = strict_bits;
  return r;
}

// Combines the processes' rounds in the given order, as a reduction may.
RoundState job_of(std::initializer_list<RoundState> ranks) {
  RoundState job{};
  for (const RoundState& r : ranks) combine_rounds(r, &job);
  return job;
}

TEST(JobStatus, EarlierStagesWinAndStrictBitsAreCombined) {
  // Precedence pairs, the winner first.
  const int kPairs[][2] = {
      {kExitBadLongOption, kExitWorkdirTooLong}, {kExitWorkdirTooLong, kExitStartFailed},
      {kExitBreakSetupFailed, kExitStartFailed}, {kExitStartFailed, kExitRerunFailed},
      {kExitRerunFailed, kExitBreak},            {kExitBreak, kExitOk},
      {kExitStartFailed, kExitStrictBase + 3},
  };
  for (const auto& p : kPairs) {
    for (bool strict : {false, true}) {
      RoundState a = job_of({round_of(p[1], 0, 2), round_of(p[0], 3), round_of(0, 1)});
      RoundState b = job_of({round_of(0, 1), round_of(p[0], 3), round_of(p[1], 0, 2)});
      EXPECT_EQ(job_exit_status(a, strict), p[0]) << p[0] << " over " << p[1];
      EXPECT_EQ(job_exit_status(b, strict), p[0]);
      EXPECT_EQ(rank_of_stop_key(a.stop_key), 3);
    }
  }
  // A data error on one rank and an I/O error on another: 16 + 1 + 2.
  RoundState mixed = job_of({round_of(0, 0, kStrictDataError), round_of(0, 1),
                             round_of(0, 2, kStrictOtherError)});
  EXPECT_EQ(job_exit_status(mixed, true), 19);
  EXPECT_EQ(job_exit_status(mixed, false), kExitOk);
  EXPECT_EQ(job_exit_status(job_of({round_of(0, 0), round_of(0, 1)}), true), kExitOk);
  // Between equal statuses the higher rank is named; the status is the same.
  RoundState twice = job_of({round_of(kExitStartFailed, 5), round_of(kExitStartFailed, 2)});
  EXPECT_EQ(status_of_stop_key(twice.stop_key), kExitStartFailed);
  EXPECT_EQ(rank_of_stop_key(twice.stop_key), 5);
}

TEST(JobRound, SumsFiguresAndKeepsRunningWhileAnyRuns) {
  RoundState a{}, b{}, c{};
  a.running = 0;
  b.running = 1;
  a.bytes_written = 5;
  b.bytes_written = 7;
  c.bytes_read = int64_t{1} << 40;
  a.stalled = 1;
  c.stalled = 2;
  a.passes_completed = 3;
  RoundState job = job_of({a, b, c});
  EXPECT_EQ(job.running, 1);
  EXPECT_EQ(job.bytes_written, 12);
  EXPECT_EQ(job.bytes_read, int64_t{1} << 40);
  EXPECT_EQ(job.stalled, 3);
  EXPECT_EQ(job.passes_completed, 3);
  EXPECT_EQ(job_of({a, c}).running, 0);
}

TEST(JobBreak, AtOnceBeatsOrderlyAndSurvivesTheRoundTrip) {
  int64_t orderly = break_key_of(2, EndCause::kSignal, false);
  int64_t watchdog = break_key_of(15, EndCause::kWatchdog, false);
  int64_t at_once = break_key_of(15, EndCause::kSignal, true);
  EXPECT_GT(at_once, watchdog);
  EXPECT_GT(at_once, orderly);
  EXPECT_GT(orderly, 0);
  RoundState a{}, b{};
  a.break_key = watchdog;
  b.break_key = at_once;
  BreakInfo got = break_of_key(job_of({a, b}).break_key);
  EXPECT_EQ(got.code, 15);
  EXPECT_EQ(got.cause, EndCause::kSignal);
  EXPECT_TRUE(got.at_once);
  got = break_of_key(watchdog);
  EXPECT_EQ(got.code, 15);
  EXPECT_EQ(got.cause, EndCause::kWatchdog);
  EXPECT_FALSE(got.at_once);
  EXPECT_EQ(break_of_key(orderly).code, 2);
}

TEST(JobNames, DirectoryAndPrefixOrRefusal) {
  char out[32];
  ASSERT_TRUE(format_rank_dir(out, sizeof out, "node01", 12));
  EXPECT_EQ(std::string(out), "node01.12");
  ASSERT_TRUE(format_line_prefix(out, sizeof out, "node01", 12));
  EXPECT_EQ(std::string(out), "[node01:12] ");
  EXPECT_FALSE(format_rank_dir(out, sizeof out, std::string(31, 'h').c_str(), 0));
  EXPECT_FALSE(format_line_prefix(out, 12, "node01", 12));
}

TEST(JobStatus, AJobEndedBySilenceKeepsStopsAndAddsTheTimeoutBit) {
  // Orderly stops everywhere: 0, or with --strict the time-out bit plus
  // what the processes found.
  const int quiet[] = {0, 0, 0};
  EXPECT_EQ(silent_job_status(quiet, 3, false), 0);
  EXPECT_EQ(silent_job_status(quiet, 3, true), kExitStrictBase + int{kStrictTimeout});
  const int found[] = {0, kExitStrictBase + int{kStrictOtherError}, 0};
  EXPECT_EQ(silent_job_status(found, 3, true),
            kExitStrictBase + int{kStrictOtherError} + int{kStrictTimeout});
  // The emergency clean-up (-u) on the survivors stays status 1.
  const int at_once[] = {kExitBreak, kExitStrictBase + int{kStrictDataError}, kExitBreak};
  EXPECT_EQ(silent_job_status(at_once, 3, true), kExitBreak);
  EXPECT_EQ(silent_job_status(at_once, 3, false), kExitBreak);
}

}  // namespace
}  // namespace iochurn
