// The run record: live figures of every worker (bytes, time inside calls,
// latencies, errors by operation, bad blocks by kind, what each worker is
// doing right now) and the first errors in order. The status line, the JSON
// report and the hang diagnosis read it; nothing here prints.
#ifndef IOCHURN_LEDGER_RUN_RECORD_H_
#define IOCHURN_LEDGER_RUN_RECORD_H_

#include <atomic>
#include <cstdint>

#include "config/run_settings.h"
#include "ledger/summary.h"
#include "platform/clock.h"
#include "platform/op.h"
#include "verify/block_kind.h"

namespace iochurn {

// Log-scale latency buckets: bucket b holds durations in
// [2^(b/4) .. 2^((b+1)/4)) microseconds, four buckets per doubling.
constexpr int kLatencyBuckets = 160;

// Latency of one kind of call for one worker. Written by the owning worker
// only (relaxed atomics, no lock); read at any time by the status line and
// the report.
struct LatencyRecord {
  std::atomic<uint64_t> count;
  std::atomic<uint64_t> total_ns;
  std::atomic<uint64_t> min_ns;  // 0 while count is 0
  std::atomic<uint64_t> max_ns;
  std::atomic<uint64_t> buckets[kLatencyBuckets];
  // The slowest call: its slot, generation, pass, offset, bytes.
  std::atomic<int32_t> slowest_slot;
  std::atomic<uint32_t> slowest_pass;
  std::atomic<uint64_t> slowest_offset;
  std::atomic<uint64_t> slowest_bytes;
};

// What one worker is doing right now, published without locks on the
// per-chunk path, as a sequence lock: begin writes the fields, then makes
// `seq` odd; end makes it even. A reader (read_activity) that sees the same
// odd `seq` before and after reading the fields has the fields of that call.
struct Activity {
  std::atomic<uint32_t> seq;     // odd while a call is in progress
  std::atomic<uint8_t> op;       // Op; kNone when idle
  std::atomic<int32_t> slot;
  std::atomic<uint64_t> offset;  // byte offset in the file
  std::atomic<uint64_t> bytes;   // bytes asked
  std::atomic<uint64_t> start_ns;  // monotonic clock
  std::atomic<int32_t> tid;      // kernel task id of the worker
  // How far this call has been named: 0 not, 1 SLOW, 2 HUNG. The one
  // field the worker does not own: the worker zeroes it as a call begins;
  // the hang diagnosis (watchdog, status and main threads) raises it by
  // compare-and-swap, and takes its mark back when the worker has moved on.
  std::atomic<uint8_t> slow_reported;
};

// Everything recorded for one worker index: the one place where a worker's
// bytes and errors are counted. Each record is written only by
// the worker running on that index (a re-run on the index adds to it), but
// for activity.slow_reported (see there), and read by the main thread, the
// status thread and the report writer. Padded
// so no two workers write one cache line.
struct alignas(64) WorkerRecord {
  std::atomic<uint32_t> generation;  // 1 for the first run of the index
  std::atomic<uint32_t> passes_completed;
  std::atomic<uint64_t> bytes_written;
  std::atomic<uint64_t> bytes_read;
  std::atomic<uint64_t> write_ns;  // time spent inside write calls
  std::atomic<uint64_t> read_ns;   // time spent inside read calls
  std::atomic<uint32_t> errors[kOpCount];  // by operation
  std::atomic<uint32_t> compare_errors;
  std::atomic<uint32_t> other_errors;
  std::atomic<uint32_t> files_different;  // came back different after
                                          // complete transfers
  std::atomic<uint32_t> bad_blocks[kBlockKindCount];
  LatencyRecord write_latency;
  LatencyRecord read_latency;
  LatencyRecord sync_latency;
  Activity activity;
};

// The records, one per worker index. Static storage, trivially
// destructible: a late worker may still write while the process exits.
extern WorkerRecord worker_records[kMaxThreads];

// One recorded error, as the report lists it.
struct ErrorEntry {
  uint64_t time_ns;  // monotonic, from run start
  int32_t thread;
  Op op;
  int32_t slot;
  uint64_t offset;
  uint64_t asked;
  int64_t moved;  // -1: the call failed
  int32_t error;  // errno value, 0 when none
  int8_t kind;    // BlockKind of a bad block, -1 for any other error
  uint32_t pass;  // the worker's pass, 0 outside one
  char path[kPathSize];
};
constexpr int kMaxErrorEntries = 1000;

// Bucket of a duration in nanoseconds (0 for anything under 2^(1/4) us,
// the last bucket for anything beyond the scale). Any thread.
int latency_bucket(uint64_t ns);

// The q-quantile (0 < q <= 1) of `count` durations spread over
// kLatencyBuckets `buckets`: the geometric middle of the bucket that holds
// the ceil(q x count)-th smallest, clamped to [min_ns, max_ns], so a single
// sample or a run of equal ones is exact. 0 when count is 0.
uint64_t bucket_quantile(const uint64_t* buckets, uint64_t count, double q,
                         uint64_t min_ns, uint64_t max_ns);

// Zeroes every record and the error list and takes the run's start time.
// Main thread, before any worker starts (and tests).
void reset_run_record();

// Marks the start of a new run on `thread` (generation + 1) and publishes
// the worker's kernel task id. Worker, at its start. Returns the generation.
uint32_t record_worker_start(int thread);

// Publishes the call about to start and returns its start time. Worker, on
// the per-chunk path: relaxed stores only.
uint64_t activity_begin(int thread, Op op, int slot, uint64_t offset,
                        uint64_t bytes);

// Ends the published call: adds its duration to the latency record of
// `op` (write, read, sync: other ops are only timed for the hang diagnosis)
// and the moved bytes to the byte counters. `moved` < 0 for a failed call.
void activity_end(int thread, Op op, uint64_t start_ns, int64_t moved,
                  uint32_t pass);

// Counts one error of `op` for `thread` in errors[op] and keeps its
// details while fewer than kMaxErrorEntries are kept. A bad block's line
// (op kVerify, `kind` its BlockKind) is kept but not counted here:
// errors[kVerify] counts bad blocks, through record_bad_block. The compare
// / other classes are counted by the caller through record_counted_error.
// Worker. Never on the success path.
void record_error(int thread, Op op, int slot, const char* path,
                  uint64_t offset, uint64_t asked, int64_t moved, int error,
                  int kind = -1, uint32_t pass = 0);

// Counts one compare or other error of the worker as it happens, for the
// summary, the status line and the report alike. Worker.
void record_counted_error(int thread, bool compare);

// Counts one bad block of `kind` for `thread`, in bad_blocks[kind] and in
// errors[kVerify]. Worker.
void record_bad_block(int thread, BlockKind kind);

// Counts one file that came back different after complete transfers.
void record_file_different(int thread);

// Marks the start (`begin`) or the end of a write (kWrite) or read (kRead)
// phase of one worker, once per phase, never per chunk. Worker.
void record_phase(Op op, bool begin);

// The wall time during which at least one worker was in the write (kWrite)
// or read (kRead) phase, a phase still running counted up to now; 0 for
// any other op. Any thread; takes a short lock, so not for signal context.
uint64_t phase_wall_ns(Op op);

// Counts one completed pass. Worker.
void record_pass_completed(int thread);

// Copies up to `max` kept errors, in order, into `out`; returns how many.
int copy_errors(ErrorEntry* out, int max);

// Number of errors recorded in all (kept or not).
uint64_t errors_recorded();

// Start of the run on the monotonic clock and the wall clock.
uint64_t run_start_ns();
int64_t run_start_wall_s();
int64_t run_start_wall_ns();

// ---------------------------------------------------------------------------
// Readers: the status line, the report and the hang diagnosis. Each adds up
// the records of indices [0, workers) at the moment it is called; a worker
// that writes meanwhile may be seen half-way (one call more or less), never
// torn within one counter. Any thread; none takes a lock.

// The records of `workers` indices added up.
struct RecordTotals {
  Totals counts;  // the live totals of the workers
  uint64_t passes_completed;
  uint64_t write_ns;
  uint64_t read_ns;
  uint64_t files_different;
  uint64_t errors[kOpCount];
  uint64_t bad_blocks[kBlockKindCount];
};
void sum_records(int workers, RecordTotals* out);

// The bytes and errors in the record of `thread` so far (zero for an
// index out of range). A worker takes them at its start and at its end:
// the difference is its run's share for the summary.
Totals record_counts(int thread);

// One kind of call (write, read or sync) over all workers, with the
// quantiles taken from the merged buckets. Durations in nanoseconds.
struct LatencySummary {
  uint64_t count;
  uint64_t total_ns;
  uint64_t min_ns;
  uint64_t max_ns;
  uint64_t median_ns;
  uint64_t p99_ns;
  uint64_t p999_ns;
  // The slowest call (thread -1 when count is 0).
  int32_t slowest_thread;
  int32_t slowest_slot;
  uint32_t slowest_pass;
  uint64_t slowest_offset;
  uint64_t slowest_bytes;
};
// Returns false (and zeroes `out`) for an op that is not latency-timed.
bool summarize_latency(Op op, int workers, LatencySummary* out);
// The same over the workers [first, first + count) only.
bool summarize_latency_range(Op op, int first, int count, LatencySummary* out);

// A consistent copy of one worker's published call.
struct ActivitySnapshot {
  Op op;
  int32_t slot;
  uint64_t offset;
  uint64_t bytes;
  uint64_t start_ns;
  int32_t tid;
};
// True when worker `thread` is inside a call; `out` then holds that call.
bool read_activity(int thread, ActivitySnapshot* out);

// Number of workers among [0, workers) inside a call that began more than
// `longer_than_ns` before `now_ns`.
int count_stalled(int workers, uint64_t now_ns, uint64_t longer_than_ns);

}  // namespace iochurn

#endif  // IOCHURN_LEDGER_RUN_RECORD_H_
