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

namespace {

// `silent` below 0: the plain program's line, without the field.
int format_line(const StatusSample& now, double write_MiBps, double read_MiBps,
                int silent, char* out, size_t size) {
  char tail[32] = "";
  if (silent >= 0) std::snprintf(tail, sizeof tail, " silent=%d", silent);
  int n = std::snprintf(
      out, size,
      "status: elapsed_s=%llu passes=%llu write_MiBps=%.1f read_MiBps=%.1f "
      "compare_errors=%llu other_errors=%llu stalled=%d%s\n",
      static_cast<unsigned long long>(now.elapsed_ns / 1000000000u),
      static_cast<unsigned long long>(now.passes_completed), write_MiBps,
      read_MiBps, static_cast<unsigned long long>(now.counts.compare_errors),
      static_cast<unsigned long long>(now.counts.other_errors), now.stalled,
      tail);
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

}  // namespace

int format_status_line(const StatusSample& now, const StatusSample& previous,
                       char* out, size_t size) {
  double seconds = now.at_ns > previous.at_ns
                       ? static_cast<double>(now.at_ns - previous.at_ns) / 1e9
                       : 0.0;
  auto rate = [seconds](uint64_t after, uint64_t before) {
    if (seconds <= 0.0 || after < before) return 0.0;
    return static_cast<double>(after - before) / (1024.0 * 1024.0) / seconds;
  };
  return format_line(
      now, rate(now.counts.bytes_written, previous.counts.bytes_written),
      rate(now.counts.bytes_read, previous.counts.bytes_read), -1, out, size);
}

int format_job_status_line(const StatusSample& now, double write_MiBps,
                           double read_MiBps, int silent, char* out,
                           size_t size) {
  return format_line(now, write_MiBps, read_MiBps, silent < 0 ? 0 : silent,
                     out, size);
}

}  // namespace iochurn
