// What one process of a multi-host job hands rank 0 for its part of the
// report beyond its totals: elapsed time, time inside calls, latency
// tallies, passes per worker and bad blocks. Plain records of fixed size,
// so that the exchange carries them as bytes.
#ifndef IOCHURN_REPORT_RANK_DETAIL_H_
#define IOCHURN_REPORT_RANK_DETAIL_H_

#include <cstdint>

#include "config/run_settings.h"
#include "ledger/run_record.h"

namespace iochurn {

// Errors each process lists at most in its own section.
constexpr int kRankErrorEntries = 100;

// The latency-timed calls, in the report's order.
constexpr int kTimedOps = 3;
constexpr Op kTimedOp[kTimedOps] = {Op::kWrite, Op::kRead, Op::kSync};

struct RankDetail {
  uint64_t elapsed_ns;
  uint64_t write_ns;  // time inside write calls, all workers added
  uint64_t read_ns;
  uint64_t write_wall_ns;  // wall time in which some worker was writing
  uint64_t read_wall_ns;
  uint64_t bad_blocks[kBlockKindCount];
  LatencyTally latency[kTimedOps];  // slowest_rank set to the process's rank
  int32_t workers;
  uint32_t passes[kMaxThreads];  // completed, per worker index
  uint64_t errors_recorded;
  int32_t errors_kept;  // of them handed over, at most kRankErrorEntries
};

// This process's detail now, from the records of `workers` indices, its
// elapsed time up to `end_ns` (monotonic; when its workers ended), and
// errors_kept left 0 for the caller. Main thread.
void take_rank_detail(int workers, int rank, uint64_t end_ns, RankDetail* out);

// The index of the lowest of `count` rates (the first of equal ones), or
// -1 when there are none.
int lowest_rate(const double* rates, int count);

}  // namespace iochurn

#endif  // IOCHURN_REPORT_RANK_DETAIL_H_
