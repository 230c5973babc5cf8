// The driver's side of the run's report: the first and last report, the
// --strict status, and the status thread of --status-interval.
#ifndef IOCHURN_DRIVER_RUN_REPORT_H_
#define IOCHURN_DRIVER_RUN_REPORT_H_

#include "config/run_settings.h"
#include "ledger/run_outcome.h"

namespace iochurn {

// Starts the run's record and outcome, and with --report sets the report up
// and writes the first one ("ended": "running"). Main thread, after the
// option loop and the limits, before any worker starts.
void report_run_start(int argc, char** argv, const MonitorSettings& monitor);

// With --status-interval, starts the thread that every interval writes one
// status line on standard error (one write call) and, with --report,
// rewrites the report. It reads the workers' records only, so it never
// pauses a worker. Returns 0, or the error of a failed thread start (the run
// then goes on without status lines). Main thread, once the workers run.
int start_status_thread();

// Stops the status thread, waits for it, and writes one last status line
// with the totals at the end. No-op when none runs. Main thread.
void stop_status_thread();

// What --strict judges in this process now: files that came back
// different, bad blocks, other errors (the larger of the workers' own count
// and the summary's, since a worker still stuck has not added to the
// summary), time-outs and an end by a signal. Main thread.
StrictInputs strict_inputs_now();

// Ends the run: records `cause` (unless an earlier definite cause, such as
// a signal or a watchdog expiry, was recorded first), turns `base_status`
// into the --strict status when asked, records the status and writes the
// final report with the summary's totals, or, when `workers_left` (some
// had not ended, so the summary leaves them out), with the workers' own
// counters, which hold every worker's bytes. Returns the status the
// program exits with. Main thread, once, after the summary.
int report_run_end(EndCause cause, int base_status, bool workers_left = false);

}  // namespace iochurn

#endif  // IOCHURN_DRIVER_RUN_REPORT_H_
