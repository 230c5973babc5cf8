// Points where the multi-host program (src/cluster) joins a run of the
// driver. The plain program leaves every hook null and runs exactly as it
// would without them; the driver keeps one code path for both.
#ifndef IOCHURN_DRIVER_RUN_HOOKS_H_
#define IOCHURN_DRIVER_RUN_HOOKS_H_

#include <cstddef>
#include <cstdint>

#include "platform/event.h"
#include "report/status_line.h"

namespace iochurn {

struct RunHooks {
  // Once this process has checked its settings and working directory, and
  // with `status` the status it would end with now (0: it can start).
  // Returns 0 when every process of the job can start its workers, or the
  // status all of them end with. Main thread, once.
  int (*ready)(int status) = nullptr;

  // Between the short slices of the main thread's waits while workers run:
  // passes breaks between the processes (a break elsewhere becomes a
  // break_handler call here) and gathers their figures. Does not return
  // when another process has ended the job with a status of its own. Main
  // thread.
  void (*poll)() = nullptr;

  // Once the workers have ended, before the status thread stops and the
  // summary: waits for every process to get here, adds the other
  // processes' totals to this one's summary and returns the job's exit
  // status for a local `status` (0, or the --strict status of the whole
  // job). Does not return when the job ended with a status of its own.
  // Main thread, once.
  int (*finish)(int status) = nullptr;

  // For each status line: formats the whole job's line into `out` (`size`
  // bytes; transfers longer than `stall_ns` count as stalled) and returns
  // its length, or 0 when this process prints no status lines. The status
  // thread or the main thread; never calls into the other processes.
  int (*status_line)(uint64_t stall_ns, char* out, size_t size) = nullptr;
};

// Set by the multi-host program's main before run_program; read by the
// driver's main thread and the status thread.
extern RunHooks run_hooks;

// How long the main thread waits at most between two polls.
constexpr int kPollSliceMs = 50;

// The hooks as the driver calls them: each does what the plain program does
// when its hook is null.
int hooks_ready(int status);
int hooks_finish(int status);

// Waits for worker `index` as wait_completion does (negative: for ever), in
// slices with a poll between them when polling is hooked. Main thread.
WaitResult wait_worker(int index, int64_t timeout_ms);

// Sleeps `seconds` as the monitor does, in slices with a poll between them
// when polling is hooked (at least one poll, also for 0). Main thread.
void pause_main(uint32_t seconds);

}  // namespace iochurn

#endif  // IOCHURN_DRIVER_RUN_HOOKS_H_
