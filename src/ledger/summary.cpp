// Summary totals.
#include "ledger/summary.h"

#include <cstdio>

#include "platform/mutex.h"

namespace iochurn {

namespace {

// Trivially destructible: a late worker may add while the process exits.
// Written by workers as they end; read by the main thread, the status line
// and the report.
Mutex totals_lock;
SummaryTotals totals GUARDED_BY(totals_lock);

}  // namespace

void add_to_summary(const Totals& c) {
  MutexLock lock(&totals_lock);
  totals.Read_Bytes += c.bytes_read;
  totals.Write_Bytes += c.bytes_written;
  totals.Compare_Errors += static_cast<uint32_t>(c.compare_errors);
  totals.Other_Errors += static_cast<uint32_t>(c.other_errors);
}

Totals summary_totals() {
  SummaryTotals t = summary_snapshot();
  return {t.Read_Bytes, t.Write_Bytes, t.Compare_Errors, t.Other_Errors};
}

SummaryTotals summary_snapshot() {
  MutexLock lock(&totals_lock);
  return totals;
}

void reset_summary() {
  MutexLock lock(&totals_lock);
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
