// The first and last report, --strict, and the status thread's hooks.
#include "driver/run_report.h"

#include "driver/run_hooks.h"
#include "guard/hang_report.h"
#include "ledger/run_record.h"
#include "ledger/summary.h"
#include "report/json_report.h"
#include "report/report_writer.h"
#include "report/status_thread.h"
#include "report/timeline.h"

namespace iochurn {

namespace {

int worker_count() { return settings.threads > 0 ? settings.threads : 0; }

// --diagnose: name each call that has outlasted the interval, once.
void name_slow_calls(int64_t interval_ms) { report_slow_transfers(interval_ms); }

bool own_sample(int workers, uint64_t stall_ns, StatusSample* out) {
  *out = take_status_sample(workers, stall_ns);
  return true;
}

}  // namespace

void report_run_start(int argc, char** argv, const MonitorSettings& monitor) {
  reset_run_record();
  reset_run_outcome();
  reset_status_lines();
  if (settings.report_path == nullptr && settings.html_path == nullptr) return;
  // The series is part of the report; without memory for it the report
  // goes on without a timeline.
  (void)timeline_start();
  ReportSetup setup;
  setup.path = settings.report_path;
  setup.html_path = settings.html_path;
  setup.argc = argc;
  setup.argv = argv;
  setup.monitor = monitor;
  report_setup(setup);
  write_report(false, nullptr);
}

int start_status_thread() {
  // The whole job's figures in the multi-host program.
  return start_status_lines(
      {own_sample, name_slow_calls, run_hooks.status_line});
}

void stop_status_thread() { stop_status_lines(); }

StrictInputs strict_inputs_now() {
  RunOutcome outcome = run_outcome();
  SummaryTotals summary = summary_snapshot();
  RecordTotals live;
  sum_records(worker_count(), &live);
  StrictInputs in{};
  in.files_different = live.files_different;
  for (uint64_t n : live.bad_blocks) in.verify_errors += n;
  // A worker still stuck at the end has not added to the summary yet.
  in.other_errors = live.counts.other_errors > summary.Other_Errors
                        ? live.counts.other_errors
                        : summary.Other_Errors;
  // A process of the job that stopped answering is a time-out too.
  in.timed_out = outcome.watchdog_expired || outcome.wait_timed_out ||
                 outcome.cause == EndCause::kUnresponsive ||
                 outcome.cause == EndCause::kLost;
  in.ended_by_signal = outcome.cause == EndCause::kSignal;
  return in;
}

int report_run_end(EndCause cause, int base_status, bool workers_left) {
  set_end_cause(cause);
  int status = base_status;
  StrictInputs in{};
  if (settings.strict) {
    in = strict_inputs_now();
    status = strict_status(base_status, in);
  }
  set_exit_status(status);
  Totals totals = summary_totals();
  // The last part of a second is a sample of its own.
  sample_timeline_now();
  // Workers still running leave the summary short; the report then counts
  // every worker from its own record.
  // The document on disk cannot say that it is missing: only the status.
  ReportWriteResult written = write_report(true, workers_left ? nullptr : &totals);
  if (!written.skipped && written.error != 0 && settings.strict) {
    in.report_failed = true;
    status = strict_status(base_status, in);
    set_exit_status(status);
  }
  return status;
}

}  // namespace iochurn
