// Active monitoring: polling the workers and re-running ended ones.
#include <cstdio>

#include "driver/driver.h"
#include "driver/run_hooks.h"
#include "driver/worker_table.h"
#include "exit_status.h"
#include "guard/break_handler.h"

namespace iochurn {

int active_monitor(const MonitorSettings& monitor, int started) {
  // Counting only the workers really started lets monitoring end when
  // there are none.
  int active_threads = started;
  // Negative intervals other than the refused -1 mean no pause.
  auto interval = static_cast<uint32_t>(
      monitor.actv_mon_tmout < 0 ? 0 : monitor.actv_mon_tmout);
  do {
    pause_main(interval);
    for (int i = 0; i < settings.threads; ++i) {
      if (thread_ids[i] == 0) continue;
      if (!thread_finished(thread_handles[i])) continue;
      --active_threads;
      thread_ids[i] = 0;
      // Joined as soon as it is seen ended, so endless re-runs never pile
      // up finished threads.
      join_thread(thread_handles[i]);
      thread_handles[i] = nullptr;
      if (settings.verbose) std::printf("thread [%d]: status done.\n", i);
      if (monitor.rerun_threads && user_break.load() == 0) {
        int rc = create_thread(i);
        if (settings.verbose)
          std::printf("thread %d: create_thread result code = %d\n", i, rc);
        if (rc != kCreateOk) {
          std::printf("thread %d: create_thread_error = %d!\n", i, rc);
          return kExitRerunFailed;
        }
        ++active_threads;
      }
    }
  } while (active_threads != 0);
  if (settings.verbose)
    std::fputs("Terminate. No more active threads.\n", stdout);
  return 0;
}

}  // namespace iochurn
