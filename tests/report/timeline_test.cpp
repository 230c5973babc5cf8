#include "report/timeline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace iochurn {
namespace {

constexpr uint64_t kSecond = 1000000000u;

// One second of the run: `n` write calls of `us` microseconds each, plus a
// slow read of `read_us` when given.
TimelineSample second(uint64_t i, uint64_t n, uint64_t us, uint64_t read_us = 0) {
  TimelineSample s;
  std::memset(&s, 0, sizeof s);
  s.start_ns = i * kSecond;
  s.end_ns = (i + 1) * kSecond;
  s.bytes_written = n << 20;
  s.bytes_read = i;
  s.passes = 1;
  s.errors = i % 7 == 0 ? 1 : 0;
  s.stalled = static_cast<int32_t>(i % 5);
  s.ranks = -1;
  s.latency[0].count = n;
  s.latency[0].max_ns = us * 1000;
  s.latency[0].buckets[latency_bucket(us * 1000)] = static_cast<uint32_t>(n);
  if (read_us != 0) {
    s.latency[1].count = 1;
    s.latency[1].max_ns = read_us * 1000;
    s.latency[1].buckets[latency_bucket(read_us * 1000)] = 1;
  }
  return s;
}

struct Sums {
  uint64_t written = 0, read = 0, passes = 0, errors = 0, writes = 0;
  int32_t stalled = 0;
  uint64_t read_max = 0;
};

Sums sums_of(const Timeline& t) {
  Sums s;
  for (int i = 0; i < timeline_size(t); ++i) {
    const TimelineSample& x = timeline_at(t, i);
    s.written += x.bytes_written;
    s.read += x.bytes_read;
    s.passes += x.passes;
    s.errors += x.errors;
    s.writes += x.latency[0].count;
    if (x.stalled > s.stalled) s.stalled = x.stalled;
    if (x.latency[1].max_ns > s.read_max) s.read_max = x.latency[1].max_ns;
  }
  return s;
}

TEST(Timeline, MergingKeepsSumsMaximaAndTheWholeLength) {
  auto t = std::make_unique<Timeline>();
  timeline_reset(t.get());
  Sums expected;
  const uint64_t kIntervals = 1000000;
  for (uint64_t i = 0; i < kIntervals; ++i) {
    // One very slow read, deep inside the run, must survive every merge.
    TimelineSample s = second(i, 3, 100, i == 654321 ? 2000000 : 0);
    expected.written += s.bytes_written;
    expected.read += s.bytes_read;
    expected.passes += s.passes;
    expected.errors += s.errors;
    expected.writes += s.latency[0].count;
    timeline_add(t.get(), s);
    ASSERT_LE(timeline_size(*t), kTimelineSamples + 1);
  }
  Sums got = sums_of(*t);
  EXPECT_EQ(got.written, expected.written);
  EXPECT_EQ(got.read, expected.read);
  EXPECT_EQ(got.passes, expected.passes);
  EXPECT_EQ(got.errors, expected.errors);
  EXPECT_EQ(got.writes, expected.writes);
  EXPECT_EQ(got.stalled, 4);
  EXPECT_EQ(got.read_max, uint64_t{2000000} * 1000);
  // 10^6 seconds in 2^9-second samples: 1953 of them, end to end.
  EXPECT_EQ(t->raw_per_sample, 512u);
  EXPECT_GT(t->count, kTimelineSamples / 2);
  EXPECT_EQ(timeline_at(*t, 0).start_ns, 0u);
  EXPECT_EQ(timeline_at(*t, timeline_size(*t) - 1).end_ns, kIntervals * kSecond);
  for (int i = 1; i < timeline_size(*t); ++i)
    ASSERT_EQ(timeline_at(*t, i).start_ns, timeline_at(*t, i - 1).end_ns) << i;
}

TEST(Timeline, PercentilesComeFromMergedBuckets) {
  auto t = std::make_unique<Timeline>();
  timeline_reset(t.get());
  // 2,000 fast seconds then 2,000 slow ones: after one merge each sample
  // still holds one kind only; merged across the edge, the median moves.
  for (uint64_t i = 0; i < 4000; ++i) timeline_add(t.get(), second(i, 10, i < 2000 ? 100 : 10000));
  ASSERT_EQ(t->raw_per_sample, 2u);
  const IntervalLatency& fast = timeline_at(*t, 0).latency[0];
  const IntervalLatency& slow = timeline_at(*t, t->count - 1).latency[0];
  EXPECT_EQ(fast.count, 20u);
  EXPECT_NEAR(static_cast<double>(interval_quantile(fast, 0.5)), 100000.0, 10000.0);
  EXPECT_NEAR(static_cast<double>(interval_quantile(slow, 0.99)), 1e7, 1e6);

  TimelineSample mixed = second(0, 9, 100);
  merge_samples(&mixed, second(1, 1, 10000));
  EXPECT_EQ(mixed.start_ns, 0u);
  EXPECT_EQ(mixed.end_ns, 2 * kSecond);
  EXPECT_NEAR(static_cast<double>(interval_quantile(mixed.latency[0], 0.5)), 1e5, 1e4);
  EXPECT_NEAR(static_cast<double>(interval_quantile(mixed.latency[0], 0.99)), 1e7, 1e6);
  EXPECT_EQ(interval_quantile(mixed.latency[0], 1.0), mixed.latency[0].max_ns);
  EXPECT_EQ(interval_quantile(mixed.latency[2], 0.5), 0u);  // no calls
}

TEST(Timeline, RanksKeepTheFewestAndPendingSamplesShow) {
  auto t = std::make_unique<Timeline>();
  timeline_reset(t.get());
  EXPECT_EQ(timeline_size(*t), 0);
  TimelineSample a = second(0, 1, 10), b = second(1, 1, 10);
  a.ranks = 4;
  b.ranks = 3;
  merge_samples(&a, b);
  EXPECT_EQ(a.ranks, 3);
  TimelineSample outside = second(2, 1, 10);
  merge_samples(&outside, a);
  EXPECT_EQ(outside.ranks, 3);
  // Bucket counts saturate rather than wrap.
  TimelineSample big = second(0, 1, 10);
  big.latency[0].buckets[5] = UINT32_MAX - 1;
  TimelineSample more = second(1, 1, 10);
  more.latency[0].buckets[5] = 7;
  merge_samples(&big, more);
  EXPECT_EQ(big.latency[0].buckets[5], UINT32_MAX);

  for (uint64_t i = 0; i < kTimelineSamples; ++i) timeline_add(t.get(), second(i, 1, 10));
  EXPECT_EQ(t->count, kTimelineSamples);
  // The next one merges the series and waits, half-full, as the pending one.
  timeline_add(t.get(), second(kTimelineSamples, 1, 10));
  EXPECT_EQ(t->count, kTimelineSamples / 2);
  EXPECT_EQ(timeline_size(*t), kTimelineSamples / 2 + 1);
  EXPECT_EQ(timeline_at(*t, t->count).bytes_written, uint64_t{1} << 20);
}

TEST(Timeline, IntervalsAreDifferencesOfTheRunningTotals) {
  auto before = std::make_unique<TimelineTotals>();
  auto now = std::make_unique<TimelineTotals>();
  std::memset(before.get(), 0, sizeof *before);
  std::memset(now.get(), 0, sizeof *now);
  before->at_ns = kSecond;
  now->at_ns = 2 * kSecond;
  before->bytes_written = 100;
  now->bytes_written = 350;
  before->passes = 5;
  now->passes = 4;  // a reset in between: nothing, not a wrapped count
  before->count[0] = 2;
  before->max_ns[0] = 900000;
  before->buckets[0][latency_bucket(900000)] = 2;
  now->count[0] = 5;
  now->max_ns[0] = 900000;
  now->buckets[0][latency_bucket(900000)] = 2;
  now->buckets[0][latency_bucket(50000)] = 3;
  TimelineSample s = interval_sample(*before, *now, 2, -1);
  EXPECT_EQ(s.start_ns, kSecond);
  EXPECT_EQ(s.end_ns, 2 * kSecond);
  EXPECT_EQ(s.bytes_written, 250u);
  EXPECT_EQ(s.passes, 0u);
  EXPECT_EQ(s.stalled, 2);
  EXPECT_EQ(s.latency[0].count, 3u);
  // Not the run's slowest call: the top of the interval's highest bucket.
  EXPECT_GE(s.latency[0].max_ns, 50000u);
  EXPECT_LT(s.latency[0].max_ns, 65000u);
  now->max_ns[0] = 2000000;
  now->buckets[0][latency_bucket(2000000)] = 1;
  EXPECT_EQ(interval_sample(*before, *now, 0, -1).latency[0].max_ns, 2000000u);
}

}  // namespace
}  // namespace iochurn
