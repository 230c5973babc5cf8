// The sweep: deleting from the working directory the temporary files that
// earlier runs, now certainly dead, left behind (a kill -9, the
// out-of-memory killer, a reboot).
#ifndef IOCHURN_STARTUP_SWEEP_H_
#define IOCHURN_STARTUP_SWEEP_H_

#include <cstdint>

#include "config/run_settings.h"

namespace iochurn {

// What one sweep did.
struct SweepResult {
  int deleted;  // files deleted (or, listing only, that would be)
  int kept;     // leftovers whose process is still running
  int failed;   // deletions that failed, and a directory that cannot be read
};

// Sweeps directory `dir`: every regular file named exactly
// "<pid>_<thread>_<slot>.DUMMY" (plain decimal numbers) whose process id
// names no running process on this host (kill(pid, 0) fails with ESRCH)
// is deleted and named on standard error, one line each, then a count.
// Nothing else is touched: other names, ".failed" files, symbolic links
// (never followed), directories. A leftover whose process runs (or may:
// EPERM) is kept and named. On a network or cluster file system, where a
// live process of another host cannot be seen, it only lists what it would
// delete, unless `mode` is kForce. Main thread, before any worker runs.
SweepResult sweep_leftovers(const char* dir, SweepMode mode);

// The process id of a leftover's name, or -1 when `name` is not one the
// workers could have built (parse_temp_name). Pure.
int64_t leftover_pid(const char* name);

}  // namespace iochurn

#endif  // IOCHURN_STARTUP_SWEEP_H_
