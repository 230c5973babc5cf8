// The live status line.
#include "report/status_line.h"

#include <time.h>

#include <cstdio>

#include "ledger/run_record.h"

namespace iochurn {

StatusSample take_status_sample(int workers, uint64_t stall_ns) {
  StatusSample s{};
  s.at_ns = monotonic_ns();
  timespec wall;
  clock_gettime(CLOCK_REALTIME, &wall);
  s.wall_ns = static_cast<int64_t>(wall.tv_sec) * 1000000000 + wall.tv_nsec;
  uint64_t start = run_start_ns();
  s.elapsed_ns = s.at_ns > start ? s.at_ns - start : 0;
  RecordTotals t;
  sum_records(workers, &t);
  s.passes_completed = t.passes_completed;
  s.counts = t.counts;
  for (uint64_t n : t.bad_blocks) s.bad_blocks += n;
  s.stalled = count_stalled(workers, s.at_ns, stall_ns);
  return s;
}

namespace {

// `silent` below 0: the plain program's line, without the field.
int format_line(const StatusSample& now, double write_MiBps, double read_MiBps,
                int silent, char* out, size_t size) {
  char tail[32] = "";
  if (silent >= 0) std::snprintf(tail, sizeof tail, " silent=%d", silent);
  char time_text[40];
  iso8601_local(now.wall_ns, time_text, sizeof time_text);
  uint64_t tenths = elapsed_tenths(now);
  int n = std::snprintf(
      out, size,
      "status: time=%s elapsed_s=%llu.%llu passes=%llu written=%llu read=%llu "
      "write_MiBps=%.1f read_MiBps=%.1f compare_errors=%llu other_errors=%llu "
      "bad_blocks=%llu stalled=%d%s\n",
      time_text, static_cast<unsigned long long>(tenths / 10),
      static_cast<unsigned long long>(tenths % 10),
      static_cast<unsigned long long>(now.passes_completed),
      static_cast<unsigned long long>(now.counts.bytes_written),
      static_cast<unsigned long long>(now.counts.bytes_read), write_MiBps,
      read_MiBps, static_cast<unsigned long long>(now.counts.compare_errors),
      static_cast<unsigned long long>(now.counts.other_errors),
      static_cast<unsigned long long>(now.bad_blocks), now.stalled, tail);
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

uint64_t elapsed_tenths(const StatusSample& sample) {
  return sample.elapsed_ns / 100000000u;
}

void iso8601_local(int64_t wall_ns, char* out, size_t size) {
  time_t seconds = static_cast<time_t>(wall_ns / 1000000000);
  tm local{};
  if (size == 0) return;
  out[0] = '\0';
  if (localtime_r(&seconds, &local) == nullptr) return;
  long offset_min = local.tm_gmtoff / 60;
  char sign = offset_min < 0 ? '-' : '+';
  if (offset_min < 0) offset_min = -offset_min;
  int length = std::snprintf(
      out, size, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
      local.tm_min, local.tm_sec, sign, offset_min / 60, offset_min % 60);
  // A cut-off stamp would read as another time: none is better.
  if (length < 0 || static_cast<size_t>(length) >= size) out[0] = '\0';
}

}  // namespace iochurn
