// The run's outcome in lock-free atomics, and the --strict status.
#include "ledger/run_outcome.h"

#include <signal.h>

#include <atomic>

#include "exit_status.h"

namespace iochurn {

namespace {

// Written by the signal thread, watchdogs and the main thread; read by the
// report and the end of the program. Lock-free, so any of them (even a
// signal handler) may store without waiting.
std::atomic<uint8_t> cause{0};
std::atomic<int> cause_signal{0};
std::atomic<bool> emergency{false};
std::atomic<bool> watchdog_expired{false};
std::atomic<bool> wait_timed_out{false};
std::atomic<int> exit_status{-1};
static_assert(std::atomic<uint8_t>::is_always_lock_free &&
              std::atomic<int>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free);

}  // namespace

const char* end_cause_name(EndCause c) {
  switch (c) {
    case EndCause::kRunning:
      return "running";
    case EndCause::kCompleted:
      return "completed";
    case EndCause::kSignal:
      return "signal";
    case EndCause::kWatchdog:
      return "watchdog";
    case EndCause::kWaitTimeout:
      return "wait-timeout";
    case EndCause::kStartFailed:
      return "start-failed";
    case EndCause::kRerunFailed:
      return "rerun-failed";
    case EndCause::kCut:
      return "cut";
    case EndCause::kUnresponsive:
      return "unresponsive";
    case EndCause::kLost:
      return "lost";
    case EndCause::kMaxErrors:
      return "max-errors";
    case EndCause::kRuntime:
      return "runtime";
  }
  return "running";
}

void signal_name(int n, char* out, int size) {
  const char* known = nullptr;
  switch (n) {
    case SIGINT:
      known = "SIGINT";
      break;
    case SIGTERM:
      known = "SIGTERM";
      break;
    case SIGHUP:
      known = "SIGHUP";
      break;
    case SIGQUIT:
      known = "SIGQUIT";
      break;
    case SIGSEGV:
      known = "SIGSEGV";
      break;
    default:
      break;
  }
  if (size <= 0) return;
  int at = 0;
  if (known != nullptr) {
    for (; known[at] != '\0' && at < size - 1; ++at) out[at] = known[at];
    out[at] = '\0';
    return;
  }
  // By hand: snprintf is not async-signal-safe.
  const char kPrefix[] = "SIG";
  for (; kPrefix[at] != '\0' && at < size - 1; ++at) out[at] = kPrefix[at];
  char digits[12];
  int d = 0;
  unsigned value = n < 0 ? 0u - static_cast<unsigned>(n) : static_cast<unsigned>(n);
  do {
    digits[d++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (n < 0 && at < size - 1) out[at++] = '-';
  while (d > 0 && at < size - 1) out[at++] = digits[--d];
  out[at] = '\0';
}

void reset_run_outcome() {
  cause.store(0);
  cause_signal.store(0);
  emergency.store(false);
  watchdog_expired.store(false);
  wait_timed_out.store(false);
  exit_status.store(-1);
}

bool set_end_cause(EndCause c, int signal_number) {
  if (c == EndCause::kRunning) return false;
  // The signal number goes in first, so a reader that sees kSignal sees it.
  if (c == EndCause::kSignal) {
    int none = 0;
    cause_signal.compare_exchange_strong(none, signal_number);
  }
  uint8_t running = static_cast<uint8_t>(EndCause::kRunning);
  return cause.compare_exchange_strong(running, static_cast<uint8_t>(c));
}

void note_watchdog_expired() {
  watchdog_expired.store(true);
  set_end_cause(EndCause::kWatchdog);
}

void note_wait_timed_out() {
  wait_timed_out.store(true);
  set_end_cause(EndCause::kWaitTimeout);
}

void note_emergency_cleanup() { emergency.store(true); }

void set_exit_status(int status) { exit_status.store(status); }

RunOutcome run_outcome() {
  RunOutcome o;
  o.cause = static_cast<EndCause>(cause.load());
  o.signal_number = o.cause == EndCause::kSignal ? cause_signal.load() : 0;
  o.emergency = emergency.load();
  o.watchdog_expired = watchdog_expired.load();
  o.wait_timed_out = wait_timed_out.load();
  int status = exit_status.load();
  o.exit_known = status >= 0;
  o.exit_status = status >= 0 ? status : 0;
  return o;
}

int strict_status(int base_status, const StrictInputs& in) {
  if (base_status != kExitOk) return base_status;
  int bits = 0;
  // A file whose write or read failed is an other error, never a data one:
  // the worker counts it in files_different only after complete transfers.
  if (in.files_different != 0 || in.verify_errors != 0) bits |= kStrictDataError;
  // A report that automation cannot read is a failure it must not miss.
  if (in.other_errors != 0 || in.report_failed) bits |= kStrictOtherError;
  if (in.timed_out) bits |= kStrictTimeout;
  if (in.ended_by_signal) bits |= kStrictSignal;
  return bits == 0 ? kExitOk : kExitStrictBase + bits;
}

}  // namespace iochurn
