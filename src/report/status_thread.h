// The status thread of --status-interval: every interval one status line on
// standard error and, with --report, a fresh report; with a report or a page
// also the run's series each second, and the --runtime limit.
#ifndef IOCHURN_REPORT_STATUS_THREAD_H_
#define IOCHURN_REPORT_STATUS_THREAD_H_

#include <cstdint>

#include "report/status_line.h"

namespace iochurn {

// What the thread asks of the floors above it each interval.
struct StatusHooks {
  // Fills the figures of the line to print; false prints none.
  bool (*sample)(int workers, uint64_t stall_ns, StatusSample* out);
  // The interval's other work (--diagnose names calls that outlast it).
  void (*each_interval)(int64_t interval_ms);
};

// Takes the figures the first line's rates are measured from. Main thread,
// at the run's start, before start_status_lines.
void reset_status_lines();

// With --status-interval, a timeline or --runtime, starts the thread. It reads the workers' records
// only, so it never pauses a worker. Returns 0, or the error of a failed
// thread start (the run then goes on without status lines). Main thread.
int start_status_lines(const StatusHooks& hooks);

// Stops the thread, waits for it, and writes one last status line with the
// totals at the end. No-op when none runs. Main thread.
void stop_status_lines();

// Adds the time since the last sample to the run's series (the last part
// of a second at the end). Main thread, after stop_status_lines.
void sample_timeline_now();

}  // namespace iochurn

#endif  // IOCHURN_REPORT_STATUS_THREAD_H_
