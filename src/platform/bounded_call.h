// Running a call that may hang (on a file system that stopped answering) on
// a helper thread, and waiting for it only so long.
#ifndef IOCHURN_PLATFORM_BOUNDED_CALL_H_
#define IOCHURN_PLATFORM_BOUNDED_CALL_H_

#include <atomic>
#include <cstdint>

namespace iochurn {

enum class BoundedEnd {
  kReturned,  // the call returned in time; its result is in *result
  kTimedOut,  // the wait ended; the helper may still finish later
  kInline,    // no helper could be had: the call ran, unbounded, here
};

using BoundedRoutine = int (*)(void* arg);

// Runs `routine(arg)` on a helper thread and waits until it returns or
// `limit_ms` pass. With `progress`, each change of *progress restarts the
// limit (the call is still moving); without, the limit is the whole wait.
// Time the whole process was stopped does not count toward the limit.
// When no helper thread can be started the routine runs on the calling
// thread instead, since it must still run. `arg` must outlive a helper that
// never returns. Never allocates. Any thread.
BoundedEnd run_bounded(BoundedRoutine routine, void* arg, int64_t limit_ms,
                       const std::atomic<uint64_t>* progress, int* result);

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_BOUNDED_CALL_H_
