// Threads on pthreads, with a finished flag that can be polled.
#include "platform/thread.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <new>

namespace iochurn {

struct ThreadHandle {
  pthread_t thread;
  ThreadRoutine routine;
  void* arg;
  std::atomic<bool> finished{false};
  // The starter and the thread each hold one reference; the last one to let
  // go frees the record, so a released thread can still set its flag.
  std::atomic<int> references{2};
};

namespace {

void drop_reference(ThreadHandle* handle) {
  if (handle->references.fetch_sub(1) == 1) delete handle;
}

void* thread_entry(void* raw) {
  auto* handle = static_cast<ThreadHandle*>(raw);
  handle->routine(handle->arg);
  handle->finished.store(true);
  drop_reference(handle);
  return nullptr;
}

}  // namespace

int start_thread(ThreadRoutine routine, void* arg, ThreadHandle** handle,
                 unsigned long* id) {
  *handle = nullptr;
  *id = 0;
  auto* record = new (std::nothrow) ThreadHandle;
  if (record == nullptr) return ENOMEM;
  record->routine = routine;
  record->arg = arg;
  int rc = pthread_create(&record->thread, nullptr, thread_entry, record);
  if (rc != 0) {
    delete record;
    return rc;
  }
  *handle = record;
  // pthread_t is an address on Linux and never 0 for a live thread.
  *id = static_cast<unsigned long>(record->thread);
  return 0;
}

bool thread_finished(const ThreadHandle* handle) {
  return handle->finished.load();
}

void join_thread(ThreadHandle* handle) {
  pthread_join(handle->thread, nullptr);
  drop_reference(handle);
}

int interrupt_thread(const ThreadHandle* handle, int signal_number) {
  return pthread_kill(handle->thread, signal_number);
}

void release_thread(ThreadHandle* handle) {
  pthread_detach(handle->thread);
  drop_reference(handle);
}

}  // namespace iochurn
