// Summary totals.
#include "driver/summary.h"

#include <cstdio>
#include <mutex>

namespace iochurn {

namespace {

// Trivially destructible: a late worker may add while the process exits.
std::mutex totals_lock;
SummaryTotals totals;

}  // namespace

void add_to_summary(const WorkerCounters& c) {
  std::lock_guard<std::mutex> lock(totals_lock);
  totals.Read_Bytes += c.bytes_read;
  totals.Write_Bytes += c.bytes_written;
  totals.Compare_Errors += c.compare_errors;
  totals.Other_Errors += c.other_errors;
}

SummaryTotals summary_snapshot() {
  std::lock_guard<std::mutex> lock(totals_lock);
  return totals;
}

void reset_summary() {
  std::lock_guard<std::mutex> lock(totals_lock);
  totals = SummaryTotals{};
}

void print_summary() {
  SummaryTotals t = summary_snapshot();
  std::printf(
      "\nSummary statistics:\nRead_Bytes=%llu   Write_Bytes=%llu\n"
      "Compare_Errors=%lu   Other_Errors=%lu\n",
      static_cast<unsigned long long>(t.Read_Bytes),
      static_cast<unsigned long long>(t.Write_Bytes),
      static_cast<unsigned long>(t.Compare_Errors),
      static_cast<unsigned long>(t.Other_Errors));
}

}  // namespace iochurn
