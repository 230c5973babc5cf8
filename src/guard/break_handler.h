// Breaks: the user_break flag and the routine every interruption ends in.
#ifndef IOCHURN_GUARD_BREAK_HANDLER_H_
#define IOCHURN_GUARD_BREAK_HANDLER_H_

#include <atomic>

namespace iochurn {

// Raised (set to 1) only by break_handler, never lowered. Read afresh by
// every worker at its break checks and by the monitor before a re-run.
extern std::atomic<int> user_break;

// Handles a break numbered like the signal behind it (15 for a watchdog
// expiry or a passive-wait time-out). Writes the notice "\nsignal() N\n" to
// descriptor 0 with one write. With asynchronous break on, raises user_break
// and returns. Otherwise runs the emergency clean-up once and ends the
// process with status 1 (a second caller parks until the first has ended
// it). Runs in ordinary thread context: the signal thread, a watchdog or the
// main thread.
void break_handler(int signal_number);

}  // namespace iochurn

#endif  // IOCHURN_GUARD_BREAK_HANDLER_H_
