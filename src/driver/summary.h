// The summary totals every worker adds into, and their printout.
#ifndef IOCHURN_DRIVER_SUMMARY_H_
#define IOCHURN_DRIVER_SUMMARY_H_

#include <cstdint>

#include "worker/file_slot.h"

namespace iochurn {

struct SummaryTotals {
  uint64_t Read_Bytes;
  uint64_t Write_Bytes;
  uint32_t Compare_Errors;
  uint32_t Other_Errors;
};

// Adds one worker's counters as one step under the totals' lock. Workers.
void add_to_summary(const WorkerCounters& counters);

// A copy of the totals taken under the lock.
SummaryTotals summary_snapshot();

// Zeroes the totals (start-up and tests).
void reset_summary();

// Prints the summary block on standard output with one output call. Main.
void print_summary();

}  // namespace iochurn

#endif  // IOCHURN_DRIVER_SUMMARY_H_
