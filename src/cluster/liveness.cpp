// The heartbeat's decisions.
#include "cluster/liveness.h"

namespace iochurn {

namespace {

uint64_t as_count(int64_t v) { return v > 0 ? static_cast<uint64_t>(v) : 0; }

double mib_per_s(int64_t after, int64_t before, uint64_t ns) {
  if (ns == 0 || after <= before) return 0.0;
  return static_cast<double>(after - before) / (1024.0 * 1024.0) /
         (static_cast<double>(ns) / 1e9);
}

}  // namespace

int rank_timeout_s(int option, bool alarm_control, int io_tmout_secs) {
  if (option > 0) return option;
  if (alarm_control && io_tmout_secs > 0) return 2 * io_tmout_secs;
  return kDefaultRankTimeoutS;
}

void reset_watch(RankWatch* watch, int count, uint64_t now_ns,
                 uint64_t awake_now_ns) {
  for (int i = 0; i < count; ++i) {
    watch[i] = RankWatch{};
    watch[i].heard_awake_ns = awake_now_ns;
    watch[i].heard_ns = now_ns;
    watch[i].line_ns = now_ns;
    watch[i].timeline_ns = now_ns;
  }
}

void note_answer(RankWatch* w, const AnswerMessage& answer, uint64_t now_ns,
                 uint64_t awake_now_ns) {
  w->latest = answer;
  w->heard_ns = now_ns;
  w->heard_awake_ns = awake_now_ns;
}

int find_silent_rank(const RankWatch* watch, int count, int self,
                     uint64_t awake_now_ns, uint64_t bound_ns) {
  for (int i = 0; i < count; ++i) {
    if (i == self || watch[i].ended) continue;
    uint64_t heard = watch[i].heard_awake_ns;
    if (awake_now_ns > heard && awake_now_ns - heard > bound_ns) return i;
  }
  return -1;
}

JobFigures take_job_figures(RankWatch* watch, int count) {
  JobFigures f{};
  for (int i = 0; i < count; ++i) {
    RankWatch& w = watch[i];
    const AnswerMessage& a = w.latest;
    f.passes_completed += as_count(a.passes_completed);
    f.bytes_written += as_count(a.bytes_written);
    f.bytes_read += as_count(a.bytes_read);
    f.compare_errors += as_count(a.compare_errors);
    f.other_errors += as_count(a.other_errors);
    f.bad_blocks += as_count(a.bad_blocks);
    f.stalled += static_cast<int>(as_count(a.stalled));
    if (w.heard_ns <= w.line_ns) {
      ++f.silent;
      continue;
    }
    uint64_t covered = w.heard_ns - w.line_ns;
    f.write_MiBps += mib_per_s(a.bytes_written, w.at_line.bytes_written, covered);
    f.read_MiBps += mib_per_s(a.bytes_read, w.at_line.bytes_read, covered);
    w.at_line = a;
    w.line_ns = w.heard_ns;
  }
  return f;
}

void answer_latency(const TimelineTotals& totals, AnswerMessage* out) {
  for (int op = 0; op < kTimelineOps; ++op) {
    out->latency_count[op] = static_cast<int64_t>(totals.count[op]);
    out->latency_max_ns[op] = static_cast<int64_t>(totals.max_ns[op]);
    for (int k = 0; k < kLatencyBuckets; ++k)
      out->latency_buckets[op][k] = static_cast<int64_t>(totals.buckets[op][k]);
  }
}

int add_job_timeline(RankWatch* watch, int count, TimelineTotals* totals,
                     int* stalled) {
  int reported = 1;
  for (int i = 1; i < count; ++i) {
    RankWatch& w = watch[i];
    const AnswerMessage& a = w.latest;
    totals->bytes_written += as_count(a.bytes_written);
    totals->bytes_read += as_count(a.bytes_read);
    totals->passes += as_count(a.passes_completed);
    totals->errors += as_count(a.compare_errors) + as_count(a.other_errors);
    totals->bad_blocks += as_count(a.bad_blocks);
    for (int op = 0; op < kTimelineOps; ++op) {
      totals->count[op] += as_count(a.latency_count[op]);
      uint64_t max = as_count(a.latency_max_ns[op]);
      if (max > totals->max_ns[op]) totals->max_ns[op] = max;
      for (int k = 0; k < kLatencyBuckets; ++k)
        totals->buckets[op][k] += as_count(a.latency_buckets[op][k]);
    }
    *stalled += static_cast<int>(as_count(a.stalled));
    if (!w.ended && w.heard_ns > w.timeline_ns) ++reported;
    w.timeline_ns = w.heard_ns;
  }
  return reported;
}

}  // namespace iochurn
