// How a run ended: its cause, its clean-up, the time-outs seen on the way
// and its exit status; and the status --strict gives for it.
#ifndef IOCHURN_LEDGER_RUN_OUTCOME_H_
#define IOCHURN_LEDGER_RUN_OUTCOME_H_

#include <cstdint>

namespace iochurn {

// Causes of the end of a run, as the report names them.
enum class EndCause : uint8_t {
  kRunning = 0,   // not ended yet
  kCompleted,     // every worker ended by itself
  kSignal,        // a break signal (the signal is kept beside it)
  kWatchdog,      // a transfer outlasted the I/O limit
  kWaitTimeout,   // the wait on a worker timed out
  kStartFailed,   // a worker could not be started
  kRerunFailed,   // a worker could not be re-run under monitoring
  kCut,           // stopped on purpose for a power cut (--cut-after)
  kUnresponsive,  // a process of a multi-host job stopped answering
  kLost,          // a process of a multi-host job died
  kRuntime,       // --runtime ran out: the orderly stop
  kMaxErrors,     // --max-errors was reached: the orderly stop
};

// "running", "completed", "signal", "watchdog", "wait-timeout",
// "start-failed", "rerun-failed", "cut", "unresponsive", "lost", "runtime",
// "max-errors".
const char* end_cause_name(EndCause cause);

// "SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGSEGV", or "SIG<number>" for
// any other number, into `out` (at least 16 bytes). Async-signal-safe.
void signal_name(int signal_number, char* out, int size);

// The outcome of the run. Process-wide state of this module: written by
// the signal thread, the watchdogs and the main thread, read by the report
// and the status computation; every field is a lock-free atomic, so the
// setters are async-signal-safe and never block.
struct RunOutcome {
  EndCause cause;
  int signal_number;  // with kSignal
  bool emergency;     // the emergency clean-up ran (-u)
  bool watchdog_expired;
  bool wait_timed_out;
  bool exit_known;
  int exit_status;    // valid when exit_known
};

// Back to "running", nothing seen. Main thread at start-up (and tests).
void reset_run_outcome();

// Records a cause. The first definite cause wins: a watchdog expiry is
// recorded before its break, so that break stays a watchdog end; a signal
// after the run completed changes nothing. Returns true when this call set
// the cause. Any thread.
bool set_end_cause(EndCause cause, int signal_number = 0);

// Marks a watchdog expiry / a passive-wait time-out (and sets the cause to
// kWatchdog / kWaitTimeout unless one is set). Any thread.
void note_watchdog_expired();
void note_wait_timed_out();

// Marks that the emergency clean-up runs. The break path under -u.
void note_emergency_cleanup();

// Records the exit status the process is about to end with. Any thread.
void set_exit_status(int status);

// A copy of the outcome. Any thread.
RunOutcome run_outcome();

// What --strict looks at, gathered by the caller at the end of the run.
struct StrictInputs {
  uint64_t files_different;  // files that came back different after
                             // complete transfers
  uint64_t verify_errors;    // bad blocks found by block verification
  uint64_t other_errors;     // the summary's other errors
  bool timed_out;            // a watchdog expiry or a wait time-out
  bool ended_by_signal;      // a break signal ended the run early
  bool report_failed;        // the final report could not be written
};

// The --strict exit status for a run whose status without --strict is
// `base_status`: any non-zero base status (help or -u's break 1, a refused
// long option 2, 6, 7, 8, 9, 10) keeps precedence; otherwise 16 plus the
// sum of the StrictBits of what the run found, or 0 when it found none.
int strict_status(int base_status, const StrictInputs& in);

}  // namespace iochurn

#endif  // IOCHURN_LEDGER_RUN_OUTCOME_H_
