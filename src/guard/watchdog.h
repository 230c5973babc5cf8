// The I/O watchdog: a break when one read or write outlasts its limit.
#ifndef IOCHURN_GUARD_WATCHDOG_H_
#define IOCHURN_GUARD_WATCHDOG_H_

#include <cstdint>

namespace iochurn {

// Limit of one guarded transfer in milliseconds; negative means no limit.
// Written by start-up before any worker runs, read by the watchdogs.
extern int64_t watchdog_limit_ms;

// Arms the watchdog of thread index `thread_index` for the transfer about to
// begin. Each worker has a watchdog of its own, served by one thread that
// lives until watchdog_stop; arming is complete when this returns, so the
// disarm after the transfer always reaches this arming. Returns 0, or -1
// when no watchdog can run (then "ERR [alarm]: cannot run wait_thread." is
// printed in verbose mode and the transfer runs unguarded). Worker only.
int watchdog_arm(int thread_index);

// Disarms after the transfer returned, whatever its result. Has no effect
// when arming failed or the watchdog already expired. Worker only.
void watchdog_disarm(int thread_index);

// Ends the worker's watchdog thread and waits for it, leaving a clean slot
// for a re-run on the same index. Worker only, when it ends.
void watchdog_stop(int thread_index);

// Number of expiries so far (for tests and diagnostics).
uint64_t watchdog_expiries();

}  // namespace iochurn

#endif  // IOCHURN_GUARD_WATCHDOG_H_
