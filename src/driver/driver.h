// The program's start-up, worker launch, supervision and summary.
#ifndef IOCHURN_DRIVER_DRIVER_H_
#define IOCHURN_DRIVER_DRIVER_H_

#include <cstdint>

#include "config/run_settings.h"

namespace iochurn {

// Results of create_thread.
enum CreateThreadResult {
  kCreateOk = 0,
  kCreateNoMemory = 3,
  kCreateFailed = 4,
};

// Starts a worker on `index`: builds its ThreadParams block, runs the prime
// search and the start delay when set, then starts worker_thread. Prints
// its message on failure. Main thread.
CreateThreadResult create_thread(int index);

// Waits for every started worker in index order, each wait limited to the
// passive wait limit; a time-out raises a break with 15. Returns true when
// every worker ended in time. Main thread.
bool passive_wait();

// Polls the workers at the monitoring interval and re-runs ended ones when
// asked to. Returns 0 to go on with the summary, or exit status 6 when a
// re-run failed. `started` is the number of workers actually running.
int active_monitor(const MonitorSettings& monitor, int started);

// The program: start-up, launch, supervision, summary. Returns the exit
// status. Main thread.
int run_program(int argc, char** argv);

}  // namespace iochurn

#endif  // IOCHURN_DRIVER_DRIVER_H_
