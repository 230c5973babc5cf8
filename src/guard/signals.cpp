// Signal thread and segmentation-fault handler.
#include "guard/signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/run_settings.h"
#include "guard/break_handler.h"
#include "ledger/run_outcome.h"
#include "platform/thread.h"

namespace iochurn {

namespace {

// The signal thread's wake-up call from the SIGSEGV handler.
int wake_signal() { return SIGRTMIN; }

std::atomic<int> segv_pending{0};
std::atomic<bool> signal_thread_running{false};
// Set once before signal_thread_running is raised; read by the handler.
ThreadHandle* signal_thread = nullptr;

// The line a second signal of a kind writes with --diagnose, built in
// ordinary context before its handler can run; read by that handler only.
char at_once_line[3 * kPathSize];
size_t at_once_length = 0;

// Async-signal-safe: one write, then the default action, which the kernel
// takes as soon as the handler returns (SA_RESETHAND put it back, and the
// signal is blocked until then).
void at_once_handler(int signal_number) {
  (void)!write(STDERR_FILENO, at_once_line, at_once_length);
  raise(signal_number);
}

// Makes the next signal of kind `taken` end the process at once: by the
// default action, after one line naming what may remain with --diagnose.
void arm_second_signal(int taken) {
  if (!settings.diagnose) {
    signal(taken, SIG_DFL);
    return;
  }
  if (at_once_length == 0) {
    const char* dir = effective_workdir(settings);
    int n = std::snprintf(
        at_once_line, sizeof at_once_line,
        "iochurn: ended at once; files of this run may remain in %s "
        "(iochurn --sweep%s -t %s -j -1 removes them)\n",
        dir, break_hooks.sweep_forced ? "=force" : "", dir);
    at_once_length = n < 0 ? 0
                     : static_cast<size_t>(n) < sizeof at_once_line
                         ? static_cast<size_t>(n)
                         : sizeof at_once_line - 1;
  }
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = at_once_handler;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  if (sigaction(taken, &action, nullptr) != 0) signal(taken, SIG_DFL);
}

sigset_t console_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGQUIT);
  return set;
}

void signal_loop(void*) {
  sigset_t waiting = console_signals();
  sigaddset(&waiting, wake_signal());
  for (;;) {
    int taken;
    if (sigwait(&waiting, &taken) != 0) continue;
    if (taken == wake_signal()) {
      if (segv_pending.exchange(0) != 0) {
        set_end_cause(EndCause::kSignal, SIGSEGV);
        break_handler(SIGSEGV);
      }
      continue;
    }
    // One-shot: the next signal of this kind takes its default action in
    // this thread, the only one that does not block it.
    sigdelset(&waiting, taken);
    arm_second_signal(taken);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, taken);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    set_end_cause(EndCause::kSignal, taken);
    break_handler(taken, taken == SIGTERM && break_hooks.sigterm_at_once);
  }
}

// Async-signal-safe: no stdio, no locks, no allocation.
void segv_handler(int, siginfo_t* info, void*) {
  if (info->si_code <= 0 && signal_thread_running.load()) {
    // Sent by another process: an ordinary break, handled on the signal
    // thread where the clean-up may run.
    segv_pending.store(1);
    interrupt_thread(signal_thread, wake_signal());
    return;
  }
  // A real fault cannot be resumed and memory can no longer be trusted:
  // write the notice and let the repeated fault end the process (the
  // handler was reset to the default on entry).
  static const char kNotice[] = "\nsignal() 11\n";
  (void)!write(STDIN_FILENO, kNotice, sizeof kNotice - 1);
}

}  // namespace

int block_break_signals() {
  sigset_t blocked = console_signals();
  sigaddset(&blocked, wake_signal());
  return pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
}

int install_break_signals() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

  sigset_t blocked = console_signals();
  sigaddset(&blocked, wake_signal());
  int rc = block_break_signals();
  if (rc != 0) return rc;
  unsigned long id;
  rc = start_thread(signal_loop, nullptr, &signal_thread, &id);
  if (rc != 0) {
    // Without the thread the signals must not stay blocked.
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
    return rc;
  }
  // Detached: it runs until the process ends, so its record (which the
  // SIGSEGV handler reads) stays valid all along.
  release_thread(signal_thread);
  signal_thread_running.store(true);

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = segv_handler;
  action.sa_flags = SA_SIGINFO | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGSEGV, &action, nullptr) != 0) return errno;
  return 0;
}

}  // namespace iochurn
