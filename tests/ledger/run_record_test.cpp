// The run record: latency buckets and quantiles, the published activity,
// the error list, and counters that concurrent workers never lose.
#include "ledger/run_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

#include "report/status_line.h"

namespace iochurn {
namespace {

class RunRecord : public ::testing::Test {
 protected:
  void SetUp() override { reset_run_record(); }
  void TearDown() override { reset_run_record(); }
};

constexpr uint64_t kUs = 1000;

TEST(LatencyBuckets, BoundariesAndQuantiles) {
  // Four buckets per doubling, boundaries at 2^(k/4) us.
  EXPECT_EQ(latency_bucket(0), 0);
  EXPECT_EQ(latency_bucket(3 * kUs), 6);      // 2^1.5 = 2.83 <= 3 < 2^1.75
  EXPECT_EQ(latency_bucket(1000 * kUs), 39);  // 2^9.75 = 861 <= 1000 < 1024
  EXPECT_EQ(latency_bucket(uint64_t{1} << 62), kLatencyBuckets - 1);
  // Every duration lies inside its bucket's bounds.
  for (uint64_t us = 2; us < (uint64_t{1} << 30); us = us * 3 / 2 + 1) {
    int b = latency_bucket(us * kUs);
    EXPECT_LE(std::exp2(b / 4.0), static_cast<double>(us) * 1.0000001) << us;
    EXPECT_GT(std::exp2((b + 1) / 4.0), static_cast<double>(us)) << us;
  }

  uint64_t buckets[kLatencyBuckets] = {};
  EXPECT_EQ(bucket_quantile(buckets, 0, 0.5, 0, 0), 0u);
  // One sample is exact whatever its bucket's width.
  buckets[latency_bucket(777 * kUs)] = 1;
  EXPECT_EQ(bucket_quantile(buckets, 1, 0.999, 777 * kUs, 777 * kUs), 777 * kUs);

  // 990 fast calls and 10 slow ones: the median and p99 are the fast ones,
  // p99.9 the slow ones, each within a bucket's width (19%).
  buckets[latency_bucket(777 * kUs)] = 0;
  buckets[latency_bucket(100 * kUs)] += 990;
  buckets[latency_bucket(10000 * kUs)] += 10;
  auto near = [](uint64_t got, uint64_t want) {
    return std::fabs(static_cast<double>(got) / static_cast<double>(want) - 1.0) < 0.19;
  };
  EXPECT_TRUE(near(bucket_quantile(buckets, 1000, 0.5, 90 * kUs, 11000 * kUs), 100 * kUs));
  EXPECT_TRUE(near(bucket_quantile(buckets, 1000, 0.99, 90 * kUs, 11000 * kUs), 100 * kUs));
  EXPECT_TRUE(near(bucket_quantile(buckets, 1000, 0.999, 90 * kUs, 11000 * kUs), 10000 * kUs));
  // Never outside the observed range.
  EXPECT_LE(bucket_quantile(buckets, 1000, 0.999, 90 * kUs, 10000 * kUs), 10000 * kUs);
}

TEST_F(RunRecord, CallsFeedBytesLatencyAndTheSlowest) {
  EXPECT_EQ(record_worker_start(0), 1u);
  EXPECT_EQ(record_worker_start(1), 1u);
  EXPECT_EQ(record_worker_start(1), 2u);  // a re-run on the index

  // Durations are given through the start time: end = now.
  uint64_t now = monotonic_ns();
  activity_begin(0, Op::kWrite, 3, 4096, 8192);
  activity_end(0, Op::kWrite, now - 50 * kUs, 8192, 2);
  activity_begin(1, Op::kWrite, 5, 1 << 20, 4096);
  ActivitySnapshot a;
  ASSERT_TRUE(read_activity(1, &a));
  EXPECT_EQ(a.op, Op::kWrite);
  EXPECT_EQ(a.slot + a.offset + a.bytes, 5u + (1u << 20) + 4096u);
  EXPECT_GT(a.tid, 0);
  // Stalled only once the call is older than the given limit.
  EXPECT_EQ(count_stalled(2, a.start_ns + 10 * kUs, 20 * kUs), 0);
  EXPECT_EQ(count_stalled(2, a.start_ns + 30 * kUs, 20 * kUs), 1);
  activity_end(1, Op::kWrite, monotonic_ns() - 900 * kUs, 2048, 7);  // short
  EXPECT_FALSE(read_activity(1, &a));
  EXPECT_EQ(count_stalled(2, monotonic_ns() + 1000000 * kUs, 0), 0);
  // A failed read is timed but moves nothing; an open is never timed.
  activity_begin(0, Op::kRead, 0, 0, 8192);
  activity_end(0, Op::kRead, monotonic_ns(), -1, 2);
  activity_begin(0, Op::kOpen, 0, 0, 0);
  activity_end(0, Op::kOpen, monotonic_ns(), 0, 2);

  RecordTotals t;
  sum_records(2, &t);
  EXPECT_EQ(t.counts.bytes_written, 8192u + 2048u);
  EXPECT_EQ(t.counts.bytes_read, 0u);
  EXPECT_GE(t.write_ns, 950 * kUs);
  LatencySummary w, r, o;
  ASSERT_TRUE(summarize_latency(Op::kWrite, 2, &w));
  EXPECT_EQ(w.count, 2u);
  EXPECT_TRUE(w.min_ns >= 50 * kUs && w.min_ns < 900 * kUs && w.max_ns >= 900 * kUs);
  EXPECT_TRUE(w.median_ns >= w.min_ns && w.median_ns <= w.max_ns);
  // The slowest is worker 1's call, with what it published.
  EXPECT_EQ(std::make_tuple(w.slowest_thread, w.slowest_slot, w.slowest_pass,
                            w.slowest_offset, w.slowest_bytes),
            std::make_tuple(1, 5, 7u, uint64_t{1} << 20, uint64_t{4096}));
  ASSERT_TRUE(summarize_latency(Op::kRead, 2, &r));
  EXPECT_EQ(r.count, 1u);
  EXPECT_FALSE(summarize_latency(Op::kOpen, 2, &o));

  // A reset forgets everything the workers wrote.
  reset_run_record();
  sum_records(2, &t);
  summarize_latency(Op::kWrite, 2, &w);
  EXPECT_EQ(t.counts.bytes_written + w.count, 0u);
  EXPECT_EQ(record_worker_start(1), 1u);
}

TEST_F(RunRecord, ErrorListKeepsTheFirstInOrder) {
  record_worker_start(2);
  for (int i = 0; i < kMaxErrorEntries + 5; ++i)
    record_error(2, i % 2 ? Op::kRead : Op::kWrite, i % 3, "/x/1_2_0.DUMMY",
                 static_cast<uint64_t>(i) * 4096, 4096, i % 4 ? 100 : -1, 5);
  EXPECT_EQ(errors_recorded(), uint64_t{kMaxErrorEntries} + 5);
  std::vector<ErrorEntry> out(kMaxErrorEntries + 5);
  int n = copy_errors(out.data(), static_cast<int>(out.size()));
  ASSERT_EQ(n, kMaxErrorEntries);
  for (int i = 0; i < n; ++i) ASSERT_EQ(out[i].offset, static_cast<uint64_t>(i) * 4096);
  EXPECT_EQ(out[0].moved, -1);
  EXPECT_EQ(out[1].op, Op::kRead);
  EXPECT_STREQ(out[1].path, "/x/1_2_0.DUMMY");
  EXPECT_EQ(copy_errors(out.data(), 3), 3);

  // Counted by operation for every error, kept or not.
  RecordTotals t;
  sum_records(3, &t);
  EXPECT_EQ(t.errors[static_cast<int>(Op::kWrite)], 503u);
  EXPECT_EQ(t.errors[static_cast<int>(Op::kRead)], 502u);
  // A path longer than the field is cut, not overrun.
  reset_run_record();
  std::string long_path(kPathSize * 2, 'p');
  record_error(0, Op::kOpen, 0, long_path.c_str(), 0, 0, -1, 2);
  ASSERT_EQ(copy_errors(out.data(), 1), 1);
  EXPECT_EQ(std::strlen(out[0].path), static_cast<size_t>(kPathSize - 1));
}

TEST_F(RunRecord, ConcurrentWorkersLoseNothing) {
  constexpr int kWorkers = 4;
  constexpr int kCalls = 20000;
  std::atomic<bool> stop{false};
  // A reader samples throughout, as the status thread does.
  std::thread reader([&] {
    uint64_t last = 0;
    while (!stop.load()) {
      StatusSample s = take_status_sample(kWorkers, 1000000 * kUs);
      EXPECT_GE(s.counts.bytes_written, last);  // never goes backwards
      last = s.counts.bytes_written;
      EXPECT_EQ(s.stalled, 0);
    }
  });
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([w] {
      record_worker_start(w);
      for (int i = 0; i < kCalls; ++i) {
        uint64_t s = activity_begin(w, Op::kWrite, 0, 0, 512);
        activity_end(w, Op::kWrite, s, 512, 1);
        if (i % 1000 == 0) record_counted_error(w, i % 2000 == 0);
      }
      record_file_different(w);
      record_bad_block(w, BlockKind::kStale);
      record_pass_completed(w);
    });
  }
  for (auto& t : workers) t.join();
  stop.store(true);
  reader.join();

  RecordTotals t;
  sum_records(kWorkers, &t);
  EXPECT_EQ(t.counts.bytes_written, uint64_t{512} * kWorkers * kCalls);
  EXPECT_EQ(t.counts.compare_errors, uint64_t{kWorkers} * 10);
  EXPECT_EQ(t.counts.other_errors, uint64_t{kWorkers} * 10);
  EXPECT_EQ(t.files_different, uint64_t{kWorkers});
  EXPECT_EQ(t.passes_completed, uint64_t{kWorkers});
  EXPECT_EQ(t.bad_blocks[static_cast<int>(BlockKind::kStale)], uint64_t{kWorkers});
  LatencySummary l;
  summarize_latency(Op::kWrite, kWorkers, &l);
  EXPECT_EQ(l.count, uint64_t{kWorkers} * kCalls);
}

}  // namespace
}  // namespace iochurn
