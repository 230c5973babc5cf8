// The processes' latency tallies merged into the job's, and the slowest
// process picked from their rates.
#include "report/rank_detail.h"

#include <gtest/gtest.h>

#include <vector>

namespace iochurn {
namespace {

constexpr uint64_t kUs = 1000;

// A tally of `durations` as one process would hand it over.
LatencyTally tally_of(const std::vector<uint64_t>& durations, int rank) {
  LatencyTally t{};
  t.slowest_thread = t.slowest_slot = t.slowest_rank = -1;
  for (uint64_t ns : durations) {
    if (t.count == 0 || ns < t.min_ns) t.min_ns = ns;
    if (t.count == 0 || ns > t.max_ns) {
      t.max_ns = ns;
      t.slowest_thread = 1;
      t.slowest_slot = 2;
      t.slowest_rank = rank;
    }
    ++t.count;
    t.total_ns += ns;
    ++t.buckets[latency_bucket(ns)];
  }
  return t;
}

TEST(RankDetail, MergedTalliesGiveTheQuantilesOfAllCalls) {
  // Three fast processes, one slow: 90 calls of about 100 us, 10 of 10 ms.
  std::vector<uint64_t> fast, slow(10, 10000 * kUs), all;
  for (int i = 0; i < 30; ++i) fast.push_back((95 + i % 10) * kUs);
  LatencyTally job{};
  job.slowest_thread = job.slowest_slot = job.slowest_rank = -1;
  for (int rank = 0; rank < 4; ++rank) {
    const std::vector<uint64_t>& mine = rank == 2 ? slow : fast;
    all.insert(all.end(), mine.begin(), mine.end());
    merge_latency(tally_of(mine, rank), &job);
  }
  merge_latency(tally_of({}, 5), &job);  // a process with no calls
  LatencySummary merged;
  summarize_tally(job, &merged);
  LatencySummary direct;
  summarize_tally(tally_of(all, 2), &direct);
  EXPECT_EQ(merged.count, 100u);
  EXPECT_EQ(merged.min_ns, 95 * kUs);
  EXPECT_EQ(merged.max_ns, 10000 * kUs);
  EXPECT_EQ(merged.total_ns, direct.total_ns);
  EXPECT_EQ(merged.median_ns, direct.median_ns);
  EXPECT_EQ(merged.p99_ns, direct.p99_ns);
  // And near the true values, within the buckets' 10 %.
  EXPECT_NEAR(static_cast<double>(merged.median_ns), 100.0 * kUs, 10.0 * kUs);
  EXPECT_EQ(merged.p99_ns, 10000 * kUs);  // clamped to the exact maximum
  EXPECT_EQ(job.slowest_rank, 2);
  EXPECT_EQ(merged.slowest_thread, 1);
}

TEST(RankDetail, TheLowestRateNamesTheFirstOfEqualOnes) {
  const double rates[] = {80.0, 12.5, 40.0, 12.5};
  EXPECT_EQ(lowest_rate(rates, 4), 1);
  EXPECT_EQ(lowest_rate(rates, 1), 0);
  EXPECT_EQ(lowest_rate(rates, 0), -1);
}

}  // namespace
}  // namespace iochurn
