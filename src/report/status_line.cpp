// The live status line.
#include "report/status_line.h"

#include <cstdio>

#include "ledger/run_record.h"

namespace iochurn {

StatusSample take_status_sample(int workers, uint64_t stall_ns) {
  StatusSample s{};
  s.at_ns = monotonic_ns();
  uint64_t start = run_start_ns();
  s.elapsed_ns = s.at_ns > start ? s.at_ns - start : 0;
  RecordTotals t;
  sum_records(workers, &t);
  s.passes_completed = t.passes_completed;
  s.counts = t.counts;
  s.stalled = count_stalled(workers, s.at_ns, stall_ns);
  return s;
}

int format_status_line(const StatusSample& now, const StatusSample& previous,
                       char* out, size_t size) {
  double seconds = now.at_ns > previous.at_ns
                       ? static_cast<double>(now.at_ns - previous.at_ns) / 1e9
                       : 0.0;
  auto rate = [seconds](uint64_t after, uint64_t before) {
    if (seconds <= 0.0 || after < before) return 0.0;
    return static_cast<double>(after - before) / (1024.0 * 1024.0) / seconds;
  };
  int n = std::snprintf(
      out, size,
      "status: elapsed_s=%llu passes=%llu write_MiBps=%.1f read_MiBps=%.1f "
      "compare_errors=%llu other_errors=%llu stalled=%d\n",
      static_cast<unsigned long long>(now.elapsed_ns / 1000000000u),
      static_cast<unsigned long long>(now.passes_completed),
      rate(now.counts.bytes_written, previous.counts.bytes_written),
      rate(now.counts.bytes_read, previous.counts.bytes_read),
      static_cast<unsigned long long>(now.counts.compare_errors),
      static_cast<unsigned long long>(now.counts.other_errors), now.stalled);
  if (n < 0) return 0;
  if (static_cast<size_t>(n) >= size) {
    // Cut, but still one whole line.
    if (size < 2) return 0;
    out[size - 2] = '\n';
    out[size - 1] = '\0';
    return static_cast<int>(size - 1);
  }
  return n;
}

}  // namespace iochurn
