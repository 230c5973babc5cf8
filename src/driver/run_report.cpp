// The first and last report, --strict, and the status thread.
#include "driver/run_report.h"

#include <unistd.h>

#include <atomic>

#include "driver/run_hooks.h"
#include "guard/hang_report.h"
#include "platform/event.h"
#include "platform/no_destructor.h"
#include "platform/thread.h"
#include "report/json_report.h"
#include "report/run_record.h"
#include "report/status_line.h"
#include "report/summary.h"

namespace iochurn {

namespace {

// The status thread. Written by the main thread only (start and stop);
// the thread itself reads `stop_requested` and waits on `wake`, which is
// never destroyed because the thread may outlive a main that returns.
NoDestructor<AutoResetEvent> wake;
std::atomic<bool> stop_requested{false};
ThreadHandle* status_thread = nullptr;
StatusSample last_sample;  // the status thread's, then the main thread's

int worker_count() { return settings.threads > 0 ? settings.threads : 0; }

uint64_t interval_ns() {
  return static_cast<uint64_t>(settings.status_interval) * 1000000000u;
}

void write_status_line(const StatusSample& now) {
  char line[256];
  int n = format_status_line(now, last_sample, line, sizeof line);
  // One write: the line never mixes with the workers' error lines.
  if (n > 0) (void)!write(STDERR_FILENO, line, static_cast<size_t>(n));
  last_sample = now;
}

void status_loop(void*) {
  const uint64_t step = interval_ns();
  uint64_t next = last_sample.at_ns + step;
  for (;;) {
    uint64_t now = monotonic_ns();
    // Deadlines on a fixed grid: a slow write of the report never makes
    // the lines drift.
    int64_t wait_ms = next > now ? static_cast<int64_t>((next - now + 999999) / 1000000) : 0;
    if (wake->wait(wait_ms) == WaitResult::kSignalled || stop_requested.load())
      return;
    if (monotonic_ns() < next) continue;
    next += step;
    // The whole job's figures in the multi-host program.
    StatusSample sample;
    if (hooks_status_sample(worker_count(), step, &sample))
      write_status_line(sample);
    // --diagnose: name each call that has outlasted the interval, once.
    report_slow_transfers(static_cast<int64_t>(settings.status_interval) * 1000);
    write_report(false, nullptr);
  }
}

}  // namespace

void report_run_start(int argc, char** argv, const MonitorSettings& monitor) {
  reset_run_record();
  reset_run_outcome();
  last_sample = take_status_sample(0, 0);
  if (settings.report_path == nullptr) return;
  ReportSetup setup;
  setup.path = settings.report_path;
  setup.argc = argc;
  setup.argv = argv;
  setup.monitor = monitor;
  report_setup(setup);
  write_report(false, nullptr);
}

int start_status_thread() {
  if (settings.status_interval <= 0 || status_thread != nullptr) return 0;
  stop_requested.store(false);
  unsigned long id = 0;
  return start_thread(status_loop, nullptr, &status_thread, &id);
}

void stop_status_thread() {
  if (status_thread == nullptr) return;
  stop_requested.store(true);
  wake->set();
  join_thread(status_thread);
  status_thread = nullptr;
  StatusSample sample;
  if (hooks_status_sample(worker_count(), interval_ns(), &sample))
    write_status_line(sample);
}

StrictInputs strict_inputs_now() {
  RunOutcome outcome = run_outcome();
  SummaryTotals summary = summary_snapshot();
  RecordTotals live;
  sum_records(worker_count(), &live);
  StrictInputs in{};
  in.files_different = live.files_different;
  for (uint64_t n : live.bad_blocks) in.verify_errors += n;
  // A worker still stuck at the end has not added to the summary yet.
  in.other_errors = live.other_errors > summary.Other_Errors
                        ? live.other_errors
                        : summary.Other_Errors;
  in.timed_out = outcome.watchdog_expired || outcome.wait_timed_out;
  in.ended_by_signal = outcome.cause == EndCause::kSignal;
  return in;
}

int report_run_end(EndCause cause, int base_status, bool workers_left) {
  set_end_cause(cause);
  SummaryTotals summary = summary_snapshot();
  int status = base_status;
  if (settings.strict) status = strict_status(base_status, strict_inputs_now());
  set_exit_status(status);
  ReportTotals totals{summary.Read_Bytes, summary.Write_Bytes,
                      summary.Compare_Errors, summary.Other_Errors};
  write_report(true, workers_left ? nullptr : &totals);
  return status;
}

}  // namespace iochurn
