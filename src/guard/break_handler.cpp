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

void break_handler(int signal_number) {
  // Lost when descriptor 0 is not writable; the break goes on regardless.
  write_message(STDIN_FILENO, "\nsignal() %d\n", signal_number);
  if (settings.async_break) {
    user_break.store(1);
    if (settings.verbose)
      (void)!write(STDIN_FILENO, "User want to break!\n", 20);
    return;
  }
  if (!begin_emergency()) park_forever();
  Shadow_close_files();
  Shadow_free_buffers();
  settle_open_files();
  std::exit(kExitBreak);
}

}  // namespace iochurn
