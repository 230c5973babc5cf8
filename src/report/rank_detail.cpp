// A process's detail for the multi-host report.
#include "report/rank_detail.h"

#include <cstring>

namespace iochurn {

void take_rank_detail(int workers, int rank, uint64_t end_ns, RankDetail* out) {
  std::memset(out, 0, sizeof *out);
  if (workers < 0) workers = 0;
  if (workers > kMaxThreads) workers = kMaxThreads;
  out->elapsed_ns = end_ns > run_start_ns() ? end_ns - run_start_ns() : 0;
  RecordTotals t;
  sum_records(workers, &t);
  out->write_ns = t.write_ns;
  out->read_ns = t.read_ns;
  out->write_wall_ns = phase_wall_ns(Op::kWrite);
  out->read_wall_ns = phase_wall_ns(Op::kRead);
  for (int k = 0; k < kBlockKindCount; ++k) out->bad_blocks[k] = t.bad_blocks[k];
  for (int i = 0; i < kTimedOps; ++i) {
    tally_latency(kTimedOp[i], workers, &out->latency[i]);
    if (out->latency[i].count != 0) out->latency[i].slowest_rank = rank;
  }
  out->workers = workers;
  for (int w = 0; w < workers; ++w)
    out->passes[w] = worker_records[w].passes_completed.load(std::memory_order_relaxed);
  out->errors_recorded = errors_recorded();
}

int lowest_rate(const double* rates, int count) {
  int lowest = -1;
  for (int i = 0; i < count; ++i)
    if (lowest < 0 || rates[i] < rates[lowest]) lowest = i;
  return lowest;
}

}  // namespace iochurn
