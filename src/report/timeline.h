// The run over time: a bounded series of samples of what happened in each
// interval (bytes, rates, passes, latency percentiles, errors, stalls),
// kept whole however long the run lasts by merging neighbours pairwise and
// doubling the interval when the series is full.
#ifndef IOCHURN_REPORT_TIMELINE_H_
#define IOCHURN_REPORT_TIMELINE_H_

#include <cstdint>

#include "ledger/run_record.h"

namespace iochurn {

// Samples kept at most; a full series is merged down to half of this.
constexpr int kTimelineSamples = 2000;

// The latency-timed operations in sample order: write, read, sync.
constexpr int kTimelineOps = 3;

// Latency of one kind of call within one interval. Bucket counts saturate
// at 2^32-1 (a quarter-octave of one interval never holds that many calls
// of a megabyte or more).
struct IntervalLatency {
  uint64_t count;
  uint64_t max_ns;  // exact when the interval held the run's slowest call so
                    // far, else the top of its highest bucket
  uint32_t buckets[kLatencyBuckets];
};

// What happened in one interval [start_ns, end_ns) of the run (times from
// the run's start). Plain data: copied, merged and compared freely.
struct TimelineSample {
  uint64_t start_ns;
  uint64_t end_ns;
  uint64_t bytes_written;
  uint64_t bytes_read;
  uint64_t passes;      // passes completed in the interval
  uint64_t errors;      // compare and other errors counted in the interval
  uint64_t bad_blocks;  // bad blocks found in the interval
  int32_t stalled;      // most transfers seen stalled at one look
  int32_t ranks;        // processes of a job that reported (fewest seen);
                        // -1 outside a multi-host job
  IntervalLatency latency[kTimelineOps];
};

// The series. `raw_per_sample` raw intervals go into one kept sample;
// `pending` collects them until it holds that many.
struct Timeline {
  TimelineSample samples[kTimelineSamples];
  int count;
  uint64_t raw_per_sample;  // 1, 2, 4, ...
  TimelineSample pending;
  uint64_t pending_raw;     // raw intervals in `pending`; 0: none
};

// Empties `t`. Any thread that owns `t`.
void timeline_reset(Timeline* t);

// Adds `b` into `a`: a covers both intervals, sums are added, maxima and
// the stalled count kept, the fewest ranks kept, buckets added.
void merge_samples(TimelineSample* a, const TimelineSample& b);

// Appends one raw interval. When the series is full, neighbours are merged
// pairwise and raw_per_sample doubles, so the series always spans the whole
// run with at most kTimelineSamples entries (plus the pending one).
void timeline_add(Timeline* t, const TimelineSample& raw);

// Number of samples a reader sees: the kept ones, and the pending one when
// it holds anything. timeline_at(t, i) for i below that number.
int timeline_size(const Timeline& t);
const TimelineSample& timeline_at(const Timeline& t, int i);

// The q-quantile (0 < q <= 1) of one interval's latency in nanoseconds, 0
// without calls; never above max_ns.
uint64_t interval_quantile(const IntervalLatency& l, double q);

// Cumulative figures of the whole run, as the sampler takes them each
// interval; an interval's sample is the difference of two of them.
struct TimelineTotals {
  uint64_t at_ns;  // from the run's start
  uint64_t bytes_written;
  uint64_t bytes_read;
  uint64_t passes;
  uint64_t errors;
  uint64_t bad_blocks;
  uint64_t count[kTimelineOps];
  uint64_t max_ns[kTimelineOps];
  uint64_t buckets[kTimelineOps][kLatencyBuckets];
};

// Reads the records of indices [0, workers) into `out` (no lock; a worker
// writing meanwhile is seen a call ahead or behind).
void read_timeline_totals(int workers, uint64_t at_ns, TimelineTotals* out);

// The sample of the interval from `before` to `now`; counters that went
// backwards (a reset between the two) count as 0.
TimelineSample interval_sample(const TimelineTotals& before,
                               const TimelineTotals& now, int stalled,
                               int ranks);

// ---------------------------------------------------------------------------
// The run's own series. Process-wide state of this module: written by the
// status thread each second and by the final report's writer (both through
// timeline_sample_now), read by the report builder; guarded by one lock
// held only for copying, never for I/O.

// Starts the run's series (allocating it on first use; false when that
// failed: the report then has no timeline). Main thread, before the
// workers start.
bool timeline_start();

// True once timeline_start succeeded.
bool timeline_enabled();

// The other processes of a multi-host job, for the series of the one that
// writes the report: adds their latest cumulative figures to `totals`
// (whose own are this process's) and their stalled transfers to
// `*stalled`, and returns how many processes reported since the last call,
// this one included. Called under the series' lock.
using TimelineJobFigures = int (*)(TimelineTotals* totals, int* stalled);

// Set by the multi-host program before the run; without it (one process)
// a sample's `ranks` is -1. Main thread.
void timeline_set_job_figures(TimelineJobFigures add);

// Takes the interval since the last call from the workers' records (and
// the job's other processes) and adds it to the series (`stall_ns`: a
// transfer running longer counts as stalled). No-op when the series is off
// or less than 1 ms has passed. The status thread; the final report.
void timeline_sample_now(int workers, uint64_t stall_ns);

// Calls `visit(sample, context)` for each sample in order under the lock,
// and returns raw_per_sample. The report builder.
uint64_t timeline_visit(void (*visit)(const TimelineSample&, void*),
                        void* context);

}  // namespace iochurn

#endif  // IOCHURN_REPORT_TIMELINE_H_
