// The summary: what every worker counted, the totals they add up to, and
// the summary block printed at the end of the run.
#ifndef IOCHURN_REPORT_SUMMARY_H_
#define IOCHURN_REPORT_SUMMARY_H_

#include <cstdint>

namespace iochurn {

// One worker's counts for its whole run. Written only by its own thread.
struct WorkerCounters {
  uint64_t bytes_read;
  uint64_t bytes_written;
  uint32_t compare_errors;
  uint32_t other_errors;
};

struct SummaryTotals {
  uint64_t Read_Bytes;
  uint64_t Write_Bytes;
  uint32_t Compare_Errors;
  uint32_t Other_Errors;
};

// Adds one worker's counters as one step under the totals' lock. Workers,
// when they end (whether or not the summary will be printed, so the run's
// report and --strict see the same totals).
void add_to_summary(const WorkerCounters& counters);

// A copy of the totals taken under the lock. Any thread.
SummaryTotals summary_snapshot();

// Zeroes the totals (start-up and tests).
void reset_summary();

// Prints the summary block on standard output with one output call. Main.
void print_summary();

}  // namespace iochurn

#endif  // IOCHURN_REPORT_SUMMARY_H_
