// The driver's side of the journal: opening it for a run, the timed cut of
// --cut-after, and the check mode of --check-journal.
#ifndef IOCHURN_DRIVER_JOURNAL_RUN_H_
#define IOCHURN_DRIVER_JOURNAL_RUN_H_

#include "config/run_settings.h"

namespace iochurn {

// ".<host>.<rank>" of the multi-host program, added to a journal path so
// that every process keeps its own; nullptr in the plain program. Written
// by the multi-host program's start-up before the run; read by the main
// thread.
extern const char* journal_rank_suffix;

// With --journal: refuses a journal path the run cannot use (the
// multi-host program cannot share one pipe between its processes). Returns
// 0, or status 2 after one line. Main thread, before the job starts.
int check_journal_path();

// With --journal: writes the header and starts the journal, and warns (one
// line on standard error) when it shares a file system with the working
// directory. Returns 0, or status 2 after one line. Main thread, once the
// working directory is final and before any worker starts.
int start_run_journal();

// With --cut-after: starts the thread that cuts the run after the time
// given. Returns 0 or the error of a failed thread start (said in one
// line). Main thread, once the workers run.
int start_cut_timer();

// Stops the cut timer if it has not fired. Main thread, at the end.
void stop_cut_timer();

// Stops the run for a power cut: claims the end of the process, waits for
// the workers to stop issuing I/O at their gates and for the journal's
// commit (3 s in all; a worker stuck in a call does not hold it back), runs
// the cut command, says which journal to check and ends the process with
// status 0, deleting nothing. Returns only when another path is already
// ending the process. Any thread but a worker's.
void cut_run();

// Ends the journal of an orderly end: retires what the final clean-up is
// about to delete and closes the journal. Main thread.
void end_run_journal();

// The whole program under --check-journal. Returns the exit status.
int run_journal_check(int argc, char** argv, const MonitorSettings& monitor);

}  // namespace iochurn

#endif  // IOCHURN_DRIVER_JOURNAL_RUN_H_
