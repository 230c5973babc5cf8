// Auto-reset event: the hand-off between a worker and whoever waits for it.
#ifndef IOCHURN_PLATFORM_EVENT_H_
#define IOCHURN_PLATFORM_EVENT_H_

#include <cstdint>

#include "platform/mutex.h"

namespace iochurn {

enum class WaitResult { kSignalled, kTimedOut };

// An event that is created non-signalled, is signalled by set() and is reset
// by the one wait() that consumes the signal. A set() that comes before the
// wait() stays pending, so an early signal is never lost; several set() calls
// before one wait() still wake only that one wait.
//
// Thread-safe: any thread may call set() and wait() at any time. Events that
// other threads may still touch while the process ends must live in storage
// that is never destroyed (platform/no_destructor.h).
class AutoResetEvent {
 public:
  AutoResetEvent() = default;
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  // Signals the event. Never blocks beyond the internal lock.
  void set();

  // Waits until the event is signalled or `timeout_ms` milliseconds have
  // passed; a negative limit waits for ever. Consumes the signal.
  WaitResult wait(int64_t timeout_ms);

 private:
  Mutex mutex_;
  CondVar signalled_cv_;
  bool pending_ GUARDED_BY(mutex_) = false;
};

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_EVENT_H_
