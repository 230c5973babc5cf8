// The break handler.
#include "guard/break_handler.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "config/run_settings.h"
#include "exit_status.h"
#include "guard/shadow_table.h"
#include "platform/message.h"

namespace iochurn {

static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> user_break{0};
BreakHooks break_hooks;

namespace {

// How long the emergency clean-up waits for its final report.
constexpr int64_t kEmergencyReportMs = 2000;

// See strongest_break(); only ever raised.
std::atomic<int> strongest{0};

void raise_strongest(int value) {
  int seen = strongest.load();
  while (seen < value && !strongest.compare_exchange_weak(seen, value)) {
  }
}

// The emergency clean-up, on the helper thread run_bounded_cleanup waits
// for while it makes progress.
void emergency_steps(void*) {
  Shadow_close_files();
  Shadow_free_buffers();
  settle_open_files();
  note_cleanup_progress();
  // Bounded: a report on a hung file system must not hold the exit.
  if (break_hooks.final_report != nullptr)
    break_hooks.final_report(kEmergencyReportMs);
}

}  // namespace

void break_handler(int signal_number, bool at_once) {
  int over = break_hooks.job_over_status.load();
  if (over >= 0) _exit(over);
  at_once = at_once || !settings.async_break;
  raise_strongest(signal_number + (at_once ? kBreakAtOnce : 0));
  // Lost when descriptor 0 is not writable; the break goes on regardless.
  write_message(STDIN_FILENO, "\nsignal() %d\n", signal_number);
  if (break_hooks.notice_to_stderr)
    write_message(STDERR_FILENO, "\nsignal() %d\n", signal_number);
  if (!at_once) {
    user_break.store(1);
    if (settings.verbose)
      (void)!write(STDIN_FILENO, "User want to break!\n", 20);
    return;
  }
  if (!begin_emergency()) park_forever();
  run_bounded_cleanup(emergency_steps, nullptr, kExitBreak);
  if (break_hooks.end_process != nullptr) break_hooks.end_process(kExitBreak);
  std::exit(kExitBreak);
}

bool request_orderly_stop(EndCause reason) {
  bool recorded = set_end_cause(reason);
  user_break.store(1);
  return recorded;
}

int strongest_break() { return strongest.load(); }

}  // namespace iochurn
