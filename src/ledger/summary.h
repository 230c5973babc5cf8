// The summary: the totals of the workers that ended, and the summary block
// printed at the end of the run.
#ifndef IOCHURN_LEDGER_SUMMARY_H_
#define IOCHURN_LEDGER_SUMMARY_H_

#include <cstdint>

namespace iochurn {

// Bytes and errors added up over some workers: the live totals of every
// worker (sum_records), one worker run's share of its record
// (record_counts), a process's totals in the report.
struct Totals {
  uint64_t bytes_read;
  uint64_t bytes_written;
  uint64_t compare_errors;
  uint64_t other_errors;
};

// The summary's instance of the totals: the workers that ended, each added
// once. The error counts are 32 bits wide, as the summary prints them.
struct SummaryTotals {
  uint64_t Read_Bytes;
  uint64_t Write_Bytes;
  uint32_t Compare_Errors;
  uint32_t Other_Errors;
};

// Adds one worker run's counts (or another process's totals) as one step
// under the totals' lock. Workers, when they end (whether or not the
// summary will be printed, so the run's report and --strict see the same
// totals); rank 0 of a multi-host job for the other processes.
void add_to_summary(const Totals& counts);

// The summary's totals, widened. Any thread.
Totals summary_totals();

// A copy of the totals taken under the lock. Any thread.
SummaryTotals summary_snapshot();

// Zeroes the totals (start-up and tests).
void reset_summary();

// Prints the summary block on standard output with one output call. Main.
void print_summary();

}  // namespace iochurn

#endif  // IOCHURN_LEDGER_SUMMARY_H_
