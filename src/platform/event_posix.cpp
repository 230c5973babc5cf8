// Auto-reset event on a mutex, a condition variable and a pending flag.
#include "platform/event.h"

#include <chrono>

namespace iochurn {

namespace {

// Beyond this a deadline is as good as never, and adding it to the clock
// could overflow its representation.
constexpr int64_t kLongestWaitMs = int64_t{100} * 365 * 24 * 3600 * 1000;

}  // namespace

void AutoResetEvent::set() {
  {
    MutexLock lock(&mutex_);
    pending_ = true;
  }
  signalled_cv_.notify_one();
}

WaitResult AutoResetEvent::wait(int64_t timeout_ms) {
  MutexLock lock(&mutex_);
  // The predicates run with mutex_ held, inside the condition variable.
  auto is_pending = [this]() NO_THREAD_SAFETY_ANALYSIS { return pending_; };
  if (timeout_ms < 0 || timeout_ms > kLongestWaitMs) {
    signalled_cv_.wait(mutex_, is_pending);
  } else {
    // One monotonic clock for the deadline and every re-check of it.
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(timeout_ms);
    if (!signalled_cv_.wait_until(mutex_, deadline, is_pending))
      return WaitResult::kTimedOut;
  }
  pending_ = false;
  return WaitResult::kSignalled;
}

}  // namespace iochurn
