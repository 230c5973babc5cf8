// The driver's side of the hooks: the sliced waits and the calls that fall
// back to the plain program's behaviour.
#include "driver/run_hooks.h"

#include <chrono>

#include "platform/pause_clock.h"
#include "platform/sleep.h"
#include "worker/completion.h"

namespace iochurn {

RunHooks run_hooks;

namespace {

using Clock = std::chrono::steady_clock;

int64_t ms_until(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Clock::now());
  return left.count() > 0 ? left.count() : 0;
}

}  // namespace

int hooks_ready(int status) {
  return run_hooks.ready != nullptr ? run_hooks.ready(status) : status;
}

int hooks_finish(int status) {
  return run_hooks.finish != nullptr ? run_hooks.finish(status) : status;
}

WaitResult wait_worker(int index, int64_t timeout_ms) {
  // A limit beyond the clock's range waits for ever, as the event does.
  constexpr int64_t kFarMs = int64_t{100} * 365 * 24 * 3600 * 1000;
  const bool limited = timeout_ms >= 0 && timeout_ms < kFarMs;
  // The limit counts running time only: a stopped process is no late worker.
  const ActiveSpan span = active_span_start();
  for (;;) {
    int64_t slice = -1;
    if (limited) {
      slice = timeout_ms - active_span_elapsed_ms(span, pause_clock_now_ms());
      if (slice <= 0) return WaitResult::kTimedOut;
    }
    if (run_hooks.poll != nullptr && (slice < 0 || slice > kPollSliceMs))
      slice = kPollSliceMs;
    if (wait_completion(index, slice) == WaitResult::kSignalled)
      return WaitResult::kSignalled;
    if (run_hooks.poll != nullptr) run_hooks.poll();
  }
}

void pause_main(uint32_t seconds) {
  if (run_hooks.poll == nullptr) {
    micro_sleep(seconds, 0);
    return;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    run_hooks.poll();
    int64_t left = ms_until(deadline);
    if (left == 0) return;
    if (left > kPollSliceMs) left = kPollSliceMs;
    micro_sleep(0, static_cast<uint32_t>(left) * 1000);
  }
}

}  // namespace iochurn
