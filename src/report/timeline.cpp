// The run over time: sampling, merging and the run's own series.
#include "report/timeline.h"

#include <cmath>
#include <cstring>
#include <new>

#include "platform/mutex.h"

namespace iochurn {

namespace {

uint64_t less_or_zero(uint64_t now, uint64_t before) {
  return now > before ? now - before : 0;
}

uint32_t saturated(uint64_t n) {
  return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

const LatencyRecord& latency_of(const WorkerRecord& r, int op) {
  return op == 0 ? r.write_latency : op == 1 ? r.read_latency : r.sync_latency;
}

// Upper edge of bucket b in nanoseconds: 2^((b+1)/4) microseconds.
uint64_t bucket_top_ns(int b) {
  return static_cast<uint64_t>(std::exp2((b + 1) / 4.0) * 1000.0);
}

// The run's series; see the header. Never freed: a report may be built
// while the process exits.
Mutex series_lock;
Timeline* series GUARDED_BY(series_lock) = nullptr;
TimelineTotals* last_totals GUARDED_BY(series_lock) = nullptr;
TimelineTotals* next_totals GUARDED_BY(series_lock) = nullptr;
std::atomic<bool> series_on{false};
// Set once before the run; read under series_lock.
std::atomic<TimelineJobFigures> job_figures{nullptr};

}  // namespace

void timeline_reset(Timeline* t) {
  t->count = 0;
  t->raw_per_sample = 1;
  t->pending_raw = 0;
  std::memset(static_cast<void*>(&t->pending), 0, sizeof t->pending);
}

void merge_samples(TimelineSample* a, const TimelineSample& b) {
  if (b.start_ns < a->start_ns) a->start_ns = b.start_ns;
  if (b.end_ns > a->end_ns) a->end_ns = b.end_ns;
  a->bytes_written += b.bytes_written;
  a->bytes_read += b.bytes_read;
  a->passes += b.passes;
  a->errors += b.errors;
  a->bad_blocks += b.bad_blocks;
  if (b.stalled > a->stalled) a->stalled = b.stalled;
  if (b.ranks >= 0 && (a->ranks < 0 || b.ranks < a->ranks)) a->ranks = b.ranks;
  for (int op = 0; op < kTimelineOps; ++op) {
    IntervalLatency& x = a->latency[op];
    const IntervalLatency& y = b.latency[op];
    x.count += y.count;
    if (y.max_ns > x.max_ns) x.max_ns = y.max_ns;
    for (int k = 0; k < kLatencyBuckets; ++k)
      x.buckets[k] = saturated(uint64_t{x.buckets[k]} + y.buckets[k]);
  }
}

void timeline_add(Timeline* t, const TimelineSample& raw) {
  if (t->pending_raw == 0)
    t->pending = raw;
  else
    merge_samples(&t->pending, raw);
  if (++t->pending_raw < t->raw_per_sample) return;
  if (t->count == kTimelineSamples) {
    for (int i = 0; i < kTimelineSamples / 2; ++i) {
      t->samples[i] = t->samples[2 * i];
      merge_samples(&t->samples[i], t->samples[2 * i + 1]);
    }
    t->count = kTimelineSamples / 2;
    t->raw_per_sample *= 2;
    // The pending sample is worth half a sample now: keep filling it.
    if (t->pending_raw < t->raw_per_sample) return;
  }
  t->samples[t->count++] = t->pending;
  t->pending_raw = 0;
}

int timeline_size(const Timeline& t) {
  return t.count + (t.pending_raw > 0 ? 1 : 0);
}

const TimelineSample& timeline_at(const Timeline& t, int i) {
  return i < t.count ? t.samples[i] : t.pending;
}

uint64_t interval_quantile(const IntervalLatency& l, double q) {
  uint64_t buckets[kLatencyBuckets];
  uint64_t in_buckets = 0;
  for (int k = 0; k < kLatencyBuckets; ++k) {
    buckets[k] = l.buckets[k];
    in_buckets += buckets[k];
  }
  return bucket_quantile(buckets, in_buckets, q, 0, l.max_ns);
}

void read_timeline_totals(int workers, uint64_t at_ns, TimelineTotals* out) {
  std::memset(static_cast<void*>(out), 0, sizeof *out);
  out->at_ns = at_ns;
  if (workers > kMaxThreads) workers = kMaxThreads;
  constexpr auto kRelaxed = std::memory_order_relaxed;
  for (int w = 0; w < workers; ++w) {
    const WorkerRecord& r = worker_records[w];
    out->bytes_written += r.bytes_written.load(kRelaxed);
    out->bytes_read += r.bytes_read.load(kRelaxed);
    out->passes += r.passes_completed.load(kRelaxed);
    out->errors += r.compare_errors.load(kRelaxed);
    out->errors += r.other_errors.load(kRelaxed);
    for (const auto& n : r.bad_blocks) out->bad_blocks += n.load(kRelaxed);
    for (int op = 0; op < kTimelineOps; ++op) {
      const LatencyRecord& l = latency_of(r, op);
      out->count[op] += l.count.load(kRelaxed);
      uint64_t max = l.max_ns.load(kRelaxed);
      if (max > out->max_ns[op]) out->max_ns[op] = max;
      for (int k = 0; k < kLatencyBuckets; ++k)
        out->buckets[op][k] += l.buckets[k].load(kRelaxed);
    }
  }
}

TimelineSample interval_sample(const TimelineTotals& before,
                               const TimelineTotals& now, int stalled,
                               int ranks) {
  TimelineSample s;
  std::memset(static_cast<void*>(&s), 0, sizeof s);
  s.start_ns = before.at_ns;
  s.end_ns = now.at_ns;
  s.bytes_written = less_or_zero(now.bytes_written, before.bytes_written);
  s.bytes_read = less_or_zero(now.bytes_read, before.bytes_read);
  s.passes = less_or_zero(now.passes, before.passes);
  s.errors = less_or_zero(now.errors, before.errors);
  s.bad_blocks = less_or_zero(now.bad_blocks, before.bad_blocks);
  s.stalled = stalled;
  s.ranks = ranks;
  for (int op = 0; op < kTimelineOps; ++op) {
    IntervalLatency& l = s.latency[op];
    int top = -1;
    for (int k = 0; k < kLatencyBuckets; ++k) {
      uint64_t n = less_or_zero(now.buckets[op][k], before.buckets[op][k]);
      l.buckets[k] = saturated(n);
      l.count += n;
      if (n > 0) top = k;
    }
    if (top < 0) continue;
    // A new maximum of the run fell in this interval: that one is exact.
    if (now.max_ns[op] > before.max_ns[op]) {
      l.max_ns = now.max_ns[op];
    } else {
      uint64_t edge = bucket_top_ns(top);
      l.max_ns = edge < now.max_ns[op] ? edge : now.max_ns[op];
    }
  }
  return s;
}

bool timeline_start() {
  MutexLock lock(&series_lock);
  if (series == nullptr) {
    series = new (std::nothrow) Timeline;
    last_totals = new (std::nothrow) TimelineTotals;
    next_totals = new (std::nothrow) TimelineTotals;
    if (series == nullptr || last_totals == nullptr || next_totals == nullptr) {
      delete series;
      delete last_totals;
      delete next_totals;
      series = nullptr;
      series_on.store(false);
      return false;
    }
  }
  timeline_reset(series);
  std::memset(static_cast<void*>(last_totals), 0, sizeof *last_totals);
  series_on.store(true);
  return true;
}

bool timeline_enabled() { return series_on.load(); }

void timeline_set_job_figures(TimelineJobFigures add) { job_figures.store(add); }

void timeline_sample_now(int workers, uint64_t stall_ns) {
  if (!series_on.load()) return;
  uint64_t now = monotonic_ns();
  uint64_t since_start = less_or_zero(now, run_start_ns());
  MutexLock lock(&series_lock);
  if (since_start < last_totals->at_ns + 1000000) return;
  read_timeline_totals(workers, since_start, next_totals);
  int stalled = count_stalled(workers, now, stall_ns);
  int ranks = -1;
  if (TimelineJobFigures add = job_figures.load()) ranks = add(next_totals, &stalled);
  timeline_add(series, interval_sample(*last_totals, *next_totals, stalled, ranks));
  TimelineTotals* swap = last_totals;
  last_totals = next_totals;
  next_totals = swap;
}

uint64_t timeline_visit(void (*visit)(const TimelineSample&, void*),
                        void* context) {
  MutexLock lock(&series_lock);
  if (series == nullptr || !series_on.load()) return 0;
  for (int i = 0; i < timeline_size(*series); ++i)
    visit(timeline_at(*series, i), context);
  return series->raw_per_sample;
}

}  // namespace iochurn
