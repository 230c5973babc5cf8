// The run record: per-worker figures written without locks on the hot path,
// and the list of the first errors.
#include "ledger/run_record.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

#include "platform/mutex.h"

namespace iochurn {

WorkerRecord worker_records[kMaxThreads];

namespace {

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(sizeof(WorkerRecord) % 64 == 0);

// The error list. A writer reserves an entry with one fetch_add, fills it
// and then marks it ready, so the emergency clean-up can copy the list
// without a lock that a worker could hold. Written by workers, read by the
// report writer.
ErrorEntry error_entries[kMaxErrorEntries];
std::atomic<uint8_t> entry_ready[kMaxErrorEntries];
std::atomic<uint64_t> entries_reserved{0};

// Indices whose records a worker has touched since the last reset: the reset
// clears only those, so a run of few workers never faults in the whole
// table. Written by workers at their start, read by reset_run_record.
std::atomic<int> records_touched{0};

std::atomic<uint64_t> start_ns{0};
std::atomic<int64_t> start_wall_ns{0};

// The wall time during which at least one worker was in the write (0) or
// the read (1) phase. Written by workers at the start and end of each
// phase, read by the report; the lock is held for a few instructions, never
// across a call that could block.
struct PhaseClock {
  int active;         // workers in the phase now
  uint64_t since_ns;  // when `active` last left 0
  uint64_t total_ns;  // closed stretches
};
Mutex phase_lock;
PhaseClock phase_clocks[2] GUARDED_BY(phase_lock);

int phase_index(Op op) { return op == Op::kWrite ? 0 : op == Op::kRead ? 1 : -1; }

// 2^(k/4) for k = 1, 2, 3 in 16-bit fixed point: the boundaries inside one
// doubling.
constexpr uint64_t kQuarter1 = 77937;
constexpr uint64_t kQuarter2 = 92682;
constexpr uint64_t kQuarter3 = 110219;

LatencyRecord* latency_of(WorkerRecord& r, Op op) {
  switch (op) {
    case Op::kWrite:
      return &r.write_latency;
    case Op::kRead:
      return &r.read_latency;
    case Op::kSync:
      return &r.sync_latency;
    default:
      return nullptr;
  }
}

// Single writer: a load and a store, no locked read-modify-write.
template <typename T>
void bump(std::atomic<T>& counter, T by = 1) {
  counter.store(counter.load(std::memory_order_relaxed) + by,
                std::memory_order_relaxed);
}

bool valid_thread(int thread) { return thread >= 0 && thread < kMaxThreads; }

int clamp_workers(int workers) {
  if (workers < 0) return 0;
  return workers > kMaxThreads ? kMaxThreads : workers;
}

}  // namespace

int latency_bucket(uint64_t ns) {
  uint64_t us = ns / 1000;
  if (us <= 1) return 0;
  int e = 63 - __builtin_clzll(us);
  // Beyond 2^40 us (12 days) everything shares the last bucket.
  if (e >= kLatencyBuckets / 4) return kLatencyBuckets - 1;
  uint64_t mantissa = e <= 16 ? (us << 16) >> e : us >> (e - 16);
  int q = (mantissa >= kQuarter1) + (mantissa >= kQuarter2) +
          (mantissa >= kQuarter3);
  int b = 4 * e + q;
  return b < kLatencyBuckets ? b : kLatencyBuckets - 1;
}

uint64_t bucket_quantile(const uint64_t* buckets, uint64_t count, double q,
                         uint64_t min_ns, uint64_t max_ns) {
  if (count == 0) return 0;
  auto rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(count)));
  if (rank < 1) rank = 1;
  if (rank > count) rank = count;
  uint64_t seen = 0;
  int b = 0;
  for (; b < kLatencyBuckets - 1; ++b) {
    seen += buckets[b];
    if (seen >= rank) break;
  }
  double middle_us = std::exp2((b + 0.5) / 4.0);
  auto value = static_cast<uint64_t>(middle_us * 1000.0);
  if (value < min_ns) value = min_ns;
  if (value > max_ns) value = max_ns;
  return value;
}

void reset_run_record() {
  int touched = records_touched.exchange(0);
  for (int t = 0; t < touched && t < kMaxThreads; ++t)
    std::memset(static_cast<void*>(&worker_records[t]), 0,
                sizeof worker_records[t]);
  uint64_t reserved = entries_reserved.exchange(0);
  for (uint64_t i = 0; i < reserved && i < kMaxErrorEntries; ++i)
    entry_ready[i].store(0);
  timespec wall;
  clock_gettime(CLOCK_REALTIME, &wall);
  start_wall_ns.store(static_cast<int64_t>(wall.tv_sec) * 1000000000 +
                      wall.tv_nsec);
  start_ns.store(monotonic_ns());
  MutexLock lock(&phase_lock);
  std::memset(phase_clocks, 0, sizeof phase_clocks);
}

void record_phase(Op op, bool begin) {
  int i = phase_index(op);
  if (i < 0) return;
  uint64_t now = monotonic_ns();
  MutexLock lock(&phase_lock);
  PhaseClock& c = phase_clocks[i];
  if (begin) {
    if (c.active++ == 0) c.since_ns = now;
  } else if (c.active > 0 && --c.active == 0) {
    c.total_ns += now - c.since_ns;
  }
}

uint64_t phase_wall_ns(Op op) {
  int i = phase_index(op);
  if (i < 0) return 0;
  uint64_t now = monotonic_ns();
  MutexLock lock(&phase_lock);
  const PhaseClock& c = phase_clocks[i];
  return c.total_ns + (c.active > 0 ? now - c.since_ns : 0);
}

uint32_t record_worker_start(int thread) {
  if (!valid_thread(thread)) return 0;
  int want = thread + 1;
  int seen = records_touched.load();
  while (seen < want && !records_touched.compare_exchange_weak(seen, want)) {
  }
  WorkerRecord& r = worker_records[thread];
  r.activity.tid.store(static_cast<int32_t>(syscall(SYS_gettid)),
                       std::memory_order_relaxed);
  uint32_t generation = r.generation.load(std::memory_order_relaxed) + 1;
  r.generation.store(generation, std::memory_order_relaxed);
  return generation;
}

uint64_t activity_begin(int thread, Op op, int slot, uint64_t offset,
                        uint64_t bytes) {
  uint64_t now = monotonic_ns();
  if (!valid_thread(thread)) return now;
  Activity& a = worker_records[thread].activity;
  uint32_t seq = a.seq.load(std::memory_order_relaxed);
  if (seq & 1) ++seq;  // an earlier call was never ended: start afresh
  // Orders the previous end before these field stores for a reader that
  // sees one of them (sequence lock).
  std::atomic_thread_fence(std::memory_order_release);
  a.op.store(static_cast<uint8_t>(op), std::memory_order_relaxed);
  a.slot.store(slot, std::memory_order_relaxed);
  a.offset.store(offset, std::memory_order_relaxed);
  a.bytes.store(bytes, std::memory_order_relaxed);
  a.start_ns.store(now, std::memory_order_relaxed);
  a.slow_reported.store(0, std::memory_order_relaxed);
  a.seq.store(seq + 1, std::memory_order_release);
  return now;
}

void activity_end(int thread, Op op, uint64_t begin_ns, int64_t moved,
                  uint32_t pass) {
  uint64_t now = monotonic_ns();
  if (!valid_thread(thread)) return;
  WorkerRecord& r = worker_records[thread];
  Activity& a = r.activity;
  uint32_t seq = a.seq.load(std::memory_order_relaxed);
  if (seq & 1) a.seq.store(seq + 1, std::memory_order_release);
  a.op.store(static_cast<uint8_t>(Op::kNone), std::memory_order_relaxed);

  uint64_t took = now > begin_ns ? now - begin_ns : 0;
  if (moved > 0) {
    if (op == Op::kWrite) {
      bump(r.bytes_written, static_cast<uint64_t>(moved));
      bump(r.write_ns, took);
    } else if (op == Op::kRead) {
      bump(r.bytes_read, static_cast<uint64_t>(moved));
      bump(r.read_ns, took);
    }
  }
  LatencyRecord* l = latency_of(r, op);
  if (l == nullptr) return;
  uint64_t count = l->count.load(std::memory_order_relaxed);
  if (count == 0 || took < l->min_ns.load(std::memory_order_relaxed))
    l->min_ns.store(took, std::memory_order_relaxed);
  if (count == 0 || took > l->max_ns.load(std::memory_order_relaxed)) {
    l->max_ns.store(took, std::memory_order_relaxed);
    l->slowest_slot.store(a.slot.load(std::memory_order_relaxed),
                          std::memory_order_relaxed);
    l->slowest_pass.store(pass, std::memory_order_relaxed);
    l->slowest_offset.store(a.offset.load(std::memory_order_relaxed),
                            std::memory_order_relaxed);
    l->slowest_bytes.store(a.bytes.load(std::memory_order_relaxed),
                           std::memory_order_relaxed);
  }
  bump(l->total_ns, took);
  bump(l->buckets[latency_bucket(took)], uint64_t{1});
  l->count.store(count + 1, std::memory_order_relaxed);
}

void record_error(int thread, Op op, int slot, const char* path,
                  uint64_t offset, uint64_t asked, int64_t moved, int error,
                  int kind, uint32_t pass) {
  if (valid_thread(thread) && op != Op::kVerify) {
    int i = static_cast<int>(op);
    if (i >= 0 && i < kOpCount) bump(worker_records[thread].errors[i], 1u);
  }
  uint64_t at = entries_reserved.fetch_add(1);
  if (at >= kMaxErrorEntries) return;
  ErrorEntry& e = error_entries[at];
  uint64_t now = monotonic_ns();
  uint64_t start = start_ns.load();
  e.time_ns = now > start ? now - start : 0;
  e.thread = thread;
  e.op = op;
  e.slot = slot;
  e.offset = offset;
  e.asked = asked;
  e.moved = moved;
  e.error = error;
  e.kind = static_cast<int8_t>(kind >= 0 && kind < kBlockKindCount ? kind : -1);
  e.pass = pass;
  e.path[0] = '\0';
  if (path != nullptr) {
    std::strncpy(e.path, path, sizeof e.path - 1);
    e.path[sizeof e.path - 1] = '\0';
  }
  entry_ready[at].store(1, std::memory_order_release);
}

void record_counted_error(int thread, bool compare) {
  if (!valid_thread(thread)) return;
  WorkerRecord& r = worker_records[thread];
  bump(compare ? r.compare_errors : r.other_errors, 1u);
}

void record_bad_block(int thread, BlockKind kind) {
  int k = static_cast<int>(kind);
  if (!valid_thread(thread) || k < 0 || k >= kBlockKindCount) return;
  bump(worker_records[thread].bad_blocks[k], 1u);
  bump(worker_records[thread].errors[static_cast<int>(Op::kVerify)], 1u);
}

void record_file_different(int thread) {
  if (valid_thread(thread)) bump(worker_records[thread].files_different, 1u);
}

void record_pass_completed(int thread) {
  if (valid_thread(thread)) bump(worker_records[thread].passes_completed, 1u);
}

int copy_errors(ErrorEntry* out, int max) {
  uint64_t reserved = entries_reserved.load();
  int n = 0;
  for (uint64_t i = 0; i < reserved && i < kMaxErrorEntries && n < max; ++i) {
    // An entry still being filled is left out rather than waited for.
    if (entry_ready[i].load(std::memory_order_acquire) == 0) continue;
    out[n++] = error_entries[i];
  }
  return n;
}

uint64_t errors_recorded() { return entries_reserved.load(); }

uint64_t run_start_ns() { return start_ns.load(); }
int64_t run_start_wall_s() { return start_wall_ns.load() / 1000000000; }
int64_t run_start_wall_ns() { return start_wall_ns.load(); }

Totals record_counts(int thread) {
  if (!valid_thread(thread)) return Totals{};
  constexpr auto kRelaxed = std::memory_order_relaxed;
  const WorkerRecord& r = worker_records[thread];
  return {r.bytes_read.load(kRelaxed), r.bytes_written.load(kRelaxed),
          r.compare_errors.load(kRelaxed), r.other_errors.load(kRelaxed)};
}

void sum_records(int workers, RecordTotals* out) {
  std::memset(out, 0, sizeof *out);
  workers = clamp_workers(workers);
  constexpr auto kRelaxed = std::memory_order_relaxed;
  for (int t = 0; t < workers; ++t) {
    const WorkerRecord& r = worker_records[t];
    Totals one = record_counts(t);
    out->counts.bytes_read += one.bytes_read;
    out->counts.bytes_written += one.bytes_written;
    out->counts.compare_errors += one.compare_errors;
    out->counts.other_errors += one.other_errors;
    out->passes_completed += r.passes_completed.load(kRelaxed);
    out->write_ns += r.write_ns.load(kRelaxed);
    out->read_ns += r.read_ns.load(kRelaxed);
    out->files_different += r.files_different.load(kRelaxed);
    for (int i = 0; i < kOpCount; ++i) out->errors[i] += r.errors[i].load(kRelaxed);
    for (int k = 0; k < kBlockKindCount; ++k)
      out->bad_blocks[k] += r.bad_blocks[k].load(kRelaxed);
  }
}

bool tally_latency(Op op, int workers, LatencyTally* out) {
  return tally_latency_range(op, 0, workers, out);
}

bool tally_latency_range(Op op, int first, int count, LatencyTally* out) {
  std::memset(out, 0, sizeof *out);
  out->slowest_thread = -1;
  out->slowest_slot = -1;
  out->slowest_rank = -1;
  if (op != Op::kWrite && op != Op::kRead && op != Op::kSync) return false;
  first = clamp_workers(first);
  int end = clamp_workers(first + (count > 0 ? count : 0));
  constexpr auto kRelaxed = std::memory_order_relaxed;
  for (int t = first; t < end; ++t) {
    LatencyRecord* l = latency_of(worker_records[t], op);
    uint64_t count = l->count.load(kRelaxed);
    if (count == 0) continue;
    uint64_t min = l->min_ns.load(kRelaxed), max = l->max_ns.load(kRelaxed);
    if (out->count == 0 || min < out->min_ns) out->min_ns = min;
    if (out->count == 0 || max > out->max_ns) {
      out->max_ns = max;
      out->slowest_thread = t;
      out->slowest_slot = l->slowest_slot.load(kRelaxed);
      out->slowest_pass = l->slowest_pass.load(kRelaxed);
      out->slowest_offset = l->slowest_offset.load(kRelaxed);
      out->slowest_bytes = l->slowest_bytes.load(kRelaxed);
    }
    out->count += count;
    out->total_ns += l->total_ns.load(kRelaxed);
    for (int b = 0; b < kLatencyBuckets; ++b)
      out->buckets[b] += l->buckets[b].load(kRelaxed);
  }
  return true;
}

namespace {

// Which call was the slowest: the same fields in a tally and a summary.
template <typename Into>
void copy_slowest_call(const LatencyTally& from, Into* into) {
  into->slowest_thread = from.slowest_thread;
  into->slowest_slot = from.slowest_slot;
  into->slowest_pass = from.slowest_pass;
  into->slowest_offset = from.slowest_offset;
  into->slowest_bytes = from.slowest_bytes;
}

}  // namespace

void merge_latency(const LatencyTally& in, LatencyTally* inout) {
  if (in.count == 0) return;
  if (inout->count == 0 || in.min_ns < inout->min_ns) inout->min_ns = in.min_ns;
  if (inout->count == 0 || in.max_ns > inout->max_ns) {
    inout->max_ns = in.max_ns;
    copy_slowest_call(in, inout);
    inout->slowest_rank = in.slowest_rank;
  }
  inout->count += in.count;
  inout->total_ns += in.total_ns;
  for (int b = 0; b < kLatencyBuckets; ++b) inout->buckets[b] += in.buckets[b];
}

void summarize_tally(const LatencyTally& t, LatencySummary* out) {
  std::memset(out, 0, sizeof *out);
  out->count = t.count;
  out->total_ns = t.total_ns;
  out->min_ns = t.min_ns;
  out->max_ns = t.max_ns;
  copy_slowest_call(t, out);
  // The buckets may have been read a call ahead of or behind `count`.
  uint64_t in_buckets = 0;
  for (uint64_t b : t.buckets) in_buckets += b;
  out->median_ns = bucket_quantile(t.buckets, in_buckets, 0.5, t.min_ns, t.max_ns);
  out->p99_ns = bucket_quantile(t.buckets, in_buckets, 0.99, t.min_ns, t.max_ns);
  out->p999_ns = bucket_quantile(t.buckets, in_buckets, 0.999, t.min_ns, t.max_ns);
}

bool summarize_latency(Op op, int workers, LatencySummary* out) {
  return summarize_latency_range(op, 0, workers, out);
}

bool summarize_latency_range(Op op, int first, int count, LatencySummary* out) {
  LatencyTally t;
  bool timed = tally_latency_range(op, first, count, &t);
  summarize_tally(t, out);
  return timed;
}

bool read_activity(int thread, ActivitySnapshot* out) {
  if (!valid_thread(thread)) return false;
  const Activity& a = worker_records[thread].activity;
  constexpr auto kRelaxed = std::memory_order_relaxed;
  for (int tries = 0; tries < 4; ++tries) {
    uint32_t before = a.seq.load(std::memory_order_acquire);
    if ((before & 1) == 0) return false;
    ActivitySnapshot s;
    s.op = static_cast<Op>(a.op.load(kRelaxed));
    s.slot = a.slot.load(kRelaxed);
    s.offset = a.offset.load(kRelaxed);
    s.bytes = a.bytes.load(kRelaxed);
    s.start_ns = a.start_ns.load(kRelaxed);
    s.tid = a.tid.load(kRelaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (a.seq.load(kRelaxed) == before) {
      *out = s;
      return true;
    }
  }
  // The worker is moving through calls faster than we can look: not stuck.
  return false;
}

int count_stalled(int workers, uint64_t now_ns, uint64_t longer_than_ns) {
  workers = clamp_workers(workers);
  int stalled = 0;
  for (int t = 0; t < workers; ++t) {
    ActivitySnapshot s;
    if (read_activity(t, &s) && now_ns > s.start_ns &&
        now_ns - s.start_ns > longer_than_ns)
      ++stalled;
  }
  return stalled;
}

}  // namespace iochurn
