#include "cluster/liveness.h"

#include <gtest/gtest.h>

namespace iochurn {
namespace {

constexpr uint64_t kS = 1000000000ull;
constexpr int64_t kMiB = 1 << 20;

AnswerMessage written(int64_t bytes) {
  AnswerMessage a{};
  a.bytes_written = bytes;
  a.bytes_read = bytes / 2;
  a.bad_blocks = bytes >> 20;
  return a;
}

TEST(Liveness, TheBoundFollowsTheOptionThenTheIoLimit) {
  EXPECT_EQ(rank_timeout_s(0, true, 5), 10);
  EXPECT_EQ(rank_timeout_s(0, false, 5), kDefaultRankTimeoutS);
  EXPECT_EQ(rank_timeout_s(7, true, 5), 7);
  EXPECT_EQ(rank_timeout_s(0, true, 0), kDefaultRankTimeoutS);
}

TEST(Liveness, ASilentRankIsFoundOnceItsSilencePassesTheBound) {
  RankWatch w[3];
  reset_watch(w, 3, 100 * kS, 50 * kS);
  note_answer(&w[1], written(0), 105 * kS, 55 * kS);
  note_answer(&w[2], written(0), 104 * kS, 54 * kS);
  // Rank 0 is the observer and never judged; the bound is strict.
  EXPECT_EQ(find_silent_rank(w, 3, 0, 64 * kS, 10 * kS), -1);
  EXPECT_EQ(find_silent_rank(w, 3, 0, 64 * kS + 1, 10 * kS), 2);
  w[2].ended = true;  // declared already: the next one is looked at
  EXPECT_EQ(find_silent_rank(w, 3, 0, 66 * kS, 10 * kS), 1);
  // Rank 2 watching rank 0 (which it last heard at reset).
  RankWatch mine[3];
  reset_watch(mine, 3, 0, 10 * kS);
  EXPECT_EQ(find_silent_rank(mine, 3, 2, 21 * kS, 10 * kS), 0);
}

TEST(Liveness, StatusFiguresSumEveryRankAndCountTheSilentOnes) {
  RankWatch w[3];
  reset_watch(w, 3, 0, 0);
  note_answer(&w[0], written(10 * kMiB), 1 * kS, 1 * kS);
  note_answer(&w[1], written(20 * kMiB), 1 * kS, 1 * kS);
  note_answer(&w[2], written(30 * kMiB), 1 * kS, 1 * kS);
  JobFigures f = take_job_figures(w, 3);
  EXPECT_EQ(f.bytes_written, uint64_t{60 * kMiB});
  EXPECT_EQ(f.bytes_read, uint64_t{30 * kMiB});
  EXPECT_EQ(f.bad_blocks, uint64_t{60});
  EXPECT_EQ(f.silent, 0);
  EXPECT_DOUBLE_EQ(f.write_MiBps, 60.0);

  // Rank 2 stops answering for 29 s while the others go on.
  for (int s = 2; s <= 30; ++s) {
    note_answer(&w[0], written((10 + 10 * (s - 1)) * kMiB), s * kS, s * kS);
    note_answer(&w[1], written((20 + 20 * (s - 1)) * kMiB), s * kS, s * kS);
    f = take_job_figures(w, 3);
    EXPECT_EQ(f.silent, 1);
    // The rate is the two working ranks', not a drop to zero.
    EXPECT_DOUBLE_EQ(f.write_MiBps, 30.0);
    // Rank 2's last figures stay in the totals.
    EXPECT_EQ(f.bytes_written, static_cast<uint64_t>((10 * s + 20 * s + 30) * kMiB));
  }
  // It comes back having written 29 MiB more: spread over the 29 s it
  // covers, no spike, and nothing of it lost from the totals.
  note_answer(&w[0], written(310 * kMiB), 31 * kS, 31 * kS);
  note_answer(&w[1], written(620 * kMiB), 31 * kS, 31 * kS);
  note_answer(&w[2], written(59 * kMiB), 30 * kS, 30 * kS);
  f = take_job_figures(w, 3);
  EXPECT_EQ(f.silent, 0);
  EXPECT_DOUBLE_EQ(f.write_MiBps, 10.0 + 20.0 + 1.0);
  EXPECT_EQ(f.bytes_written, uint64_t{(310 + 620 + 59) * kMiB});
  // Not heard again since this line: silent, and still counted.
  f = take_job_figures(w, 3);
  EXPECT_EQ(f.silent, 3);
  EXPECT_EQ(f.bytes_written, uint64_t{(310 + 620 + 59) * kMiB});
  EXPECT_DOUBLE_EQ(f.write_MiBps, 0.0);
}

// The report's series of a job: the others' cumulative figures and
// latency added to the observer's, and only those heard since the last
// sample (never an ended one) counted as reporting.
TEST(Liveness, TheJobSeriesAddsTheOthersAndCountsWhoReported) {
  RankWatch w[4];
  reset_watch(w, 4, 10 * kS, 10 * kS);
  TimelineTotals own{};
  own.bytes_written = 100;
  own.count[0] = 2;
  own.buckets[0][10] = 2;
  own.max_ns[0] = 5000;
  for (int r = 1; r < 4; ++r) {
    AnswerMessage a = written(1000 * r);
    a.passes_completed = r;
    a.compare_errors = 1;
    a.other_errors = r == 3 ? 2 : 0;
    a.stalled = 1;
    TimelineTotals theirs{};
    theirs.count[1] = 3;
    theirs.buckets[1][20 + r] = 3;
    theirs.max_ns[1] = 1000000u * r;
    answer_latency(theirs, &a);
    note_answer(&w[r], a, 11 * kS, 11 * kS);
  }
  TimelineTotals t = own;
  int stalled = 1;
  EXPECT_EQ(add_job_timeline(w, 4, &t, &stalled), 4);
  EXPECT_EQ(t.bytes_written, uint64_t{100 + 1000 + 2000 + 3000});
  EXPECT_EQ(t.bytes_read, uint64_t{500 + 1000 + 1500});
  EXPECT_EQ(t.passes, uint64_t{1 + 2 + 3});
  EXPECT_EQ(t.errors, uint64_t{1 + 1 + 1 + 2});
  EXPECT_EQ(stalled, 4);
  EXPECT_EQ(t.count[0], 2u);
  EXPECT_EQ(t.max_ns[0], 5000u);
  EXPECT_EQ(t.count[1], 9u);
  EXPECT_EQ(t.max_ns[1], 3000000u);
  for (int r = 1; r < 4; ++r) EXPECT_EQ(t.buckets[1][20 + r], 3u) << r;

  // Nobody heard since: only the observer reports, the figures stay.
  t = own;
  stalled = 0;
  EXPECT_EQ(add_job_timeline(w, 4, &t, &stalled), 1);
  EXPECT_EQ(t.bytes_written, uint64_t{6100});
  EXPECT_EQ(t.count[1], 9u);

  // Rank 2 answers again but has been declared ended: it does not count.
  w[2].ended = true;
  note_answer(&w[1], w[1].latest, 12 * kS, 12 * kS);
  note_answer(&w[2], w[2].latest, 12 * kS, 12 * kS);
  t = own;
  EXPECT_EQ(add_job_timeline(w, 4, &t, &stalled), 2);
  EXPECT_EQ(t.bytes_written, uint64_t{6100});
}

}  // namespace
}  // namespace iochurn
