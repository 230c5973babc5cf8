// Threads that can be started with an argument and polled for their end.
#ifndef IOCHURN_PLATFORM_THREAD_H_
#define IOCHURN_PLATFORM_THREAD_H_

namespace iochurn {

// Opaque record of one started thread. Owned by the caller of start_thread
// until join_thread or release_thread hands it back.
struct ThreadHandle;

using ThreadRoutine = void (*)(void* arg);

// Starts `routine(arg)` on a new thread with the default stack size.
// On success returns 0, stores the handle in `*handle` and a non-zero
// identifier in `*id`. On failure returns the system's error number and
// starts nothing; `*handle` and `*id` are set to null and 0.
// Never throws. Any thread may call it.
int start_thread(ThreadRoutine routine, void* arg, ThreadHandle** handle,
                 unsigned long* id);

// True once the thread's routine has returned. Never blocks; safe to call
// from the owning thread at any time while it holds the handle.
bool thread_finished(const ThreadHandle* handle);

// Waits for the thread to end and releases the handle.
void join_thread(ThreadHandle* handle);

// Sends `signal_number` to the thread (pthread_kill). Returns 0 or an error
// number. Async-signal-safe: it only reads the handle.
int interrupt_thread(const ThreadHandle* handle, int signal_number);

// Gives up the handle without waiting: the thread releases its own resources
// when it ends.
void release_thread(ThreadHandle* handle);

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_THREAD_H_
