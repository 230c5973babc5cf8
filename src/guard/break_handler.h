// Breaks: the user_break flag and the routine every interruption ends in.
#ifndef IOCHURN_GUARD_BREAK_HANDLER_H_
#define IOCHURN_GUARD_BREAK_HANDLER_H_

#include <atomic>
#include <cstdint>

#include "ledger/run_outcome.h"

namespace iochurn {

// Raised (set to 1) only by break_handler and request_orderly_stop, never
// lowered. Read afresh by
// every worker at its break checks and by the monitor before a re-run.
extern std::atomic<int> user_break;

// Handles a break numbered like the signal behind it (15 for a watchdog
// expiry or a passive-wait time-out). Writes the notice "\nsignal() N\n" to
// descriptor 0 with one write. With asynchronous break on, raises user_break
// and returns. Otherwise runs the emergency clean-up once and ends the
// process with status 1 (a second caller parks until the first has ended
// it). The clean-up, and the final report after it, run bounded
// (run_bounded_cleanup in guard/shadow_table.h): on a file system that
// stops answering, the process lists the names it could not delete and
// ends with _exit after a few seconds. Runs in ordinary
// thread context: the signal thread, a watchdog or the main thread.
// `at_once` takes the emergency clean-up's path even with asynchronous
// break on (the multi-host program's SIGTERM, and breaks it passes on).
void break_handler(int signal_number, bool at_once = false);

// The orderly stop without a signal (a time limit, an error limit): records
// `reason` as the run's end cause (unless a definite cause came first) and
// raises user_break, so every worker ends at its next phase boundary and
// the run ends with the usual summary. No notice, and no emergency
// clean-up even without asynchronous break. Returns true when this call
// recorded the cause. Any thread; async-signal-safe.
bool request_orderly_stop(EndCause reason);

// What breaks call beyond the clean-up, and how the multi-host program
// changes them. Written once by start-up before any other thread exists;
// read by the signal thread and break_handler.
struct BreakHooks {
  // Writes the final report after the emergency clean-up, waiting for it
  // at most `limit_ms`; set by the program's start-up (the report sits
  // above the workers the clean-up stops). Any thread.
  void (*final_report)(int64_t limit_ms) = nullptr;
  // The rest is the multi-host program's, all off in the plain program.
  // A SIGTERM takes the emergency clean-up's path: launchers send it on
  // Ctrl-C and follow it with SIGKILL within a second or so, which would
  // cut an orderly stop half-way and leave files.
  bool sigterm_at_once = false;
  // The notice also goes to standard error (descriptor 0 is lost under a
  // launcher), with the line prefix.
  bool notice_to_stderr = false;
  // What may remain is swept with --sweep=force: the directory is on a
  // file system that other hosts share, where the plain sweep only lists.
  bool sweep_forced = false;
  // Called after the emergency clean-up instead of exit(1), with the
  // status; must not return. Any thread.
  void (*end_process)(int exit_status) = nullptr;
  // Once the job has ended everywhere (set by the multi-host program after
  // its last exchange, when launchers start killing the processes that
  // have not exited yet): a break then only ends the process with this
  // status, with no notice; nothing is left to clean. -1: not yet.
  std::atomic<int> job_over_status{-1};
};
extern BreakHooks break_hooks;

// The strongest break taken so far, for the multi-host program to pass
// on: 0 for none, else the break's number, plus kBreakAtOnce when it took
// the emergency clean-up. Raised by break_handler as it starts; read by the
// main thread. Any thread.
constexpr int kBreakAtOnce = 0x10000;
int strongest_break();

}  // namespace iochurn

#endif  // IOCHURN_GUARD_BREAK_HANDLER_H_
