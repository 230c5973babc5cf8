// The helper thread and the bounded wait of one start-up step.
#include "diagnose/bounded_check.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>

#include "platform/event.h"
#include "platform/message.h"
#include "platform/pause_clock.h"
#include "platform/thread.h"

namespace iochurn {

namespace {

// Shared by the waiting main thread and the helper; the last of the two to
// let go frees it, so a helper stuck in the kernel keeps a valid record.
struct CheckCall {
  std::atomic<int> references{2};
  std::atomic<bool> returned{false};
  int result = 0;  // written by the helper before `returned`
  CheckRoutine routine = nullptr;
  AutoResetEvent done;
  unsigned char io[kCheckIoSize];
};

void let_go(CheckCall* call) {
  if (call->references.fetch_sub(1) == 1) delete call;
}

void check_helper(void* raw) {
  auto* call = static_cast<CheckCall*>(raw);
  call->result = call->routine(call->io);
  call->returned.store(true);
  call->done.set();
  let_go(call);
}

}  // namespace

bool run_bounded_check(const char* check, const char* path,
                       CheckRoutine routine, void* io, size_t io_size,
                       int* result, bool tell) {
  auto* call = new (std::nothrow) CheckCall;
  ThreadHandle* helper = nullptr;
  unsigned long id = 0;
  if (call != nullptr) {
    call->routine = routine;
    std::memcpy(call->io, io, io_size);
    if (start_thread(check_helper, call, &helper, &id) != 0) {
      delete call;
      call = nullptr;
    }
  }
  if (call == nullptr) {
    *result = routine(io);
    return true;
  }
  release_thread(helper);
  const ActiveSpan span = active_span_start();
  for (;;) {
    int64_t left =
        kCheckBoundMs - active_span_elapsed_ms(span, pause_clock_now_ms());
    if (call->returned.load() ||
        (left > 0 && call->done.wait(left) == WaitResult::kSignalled))
      break;
    if (call->returned.load()) break;
    if (kCheckBoundMs - active_span_elapsed_ms(span, pause_clock_now_ms()) > 0)
      continue;  // the process was stopped meanwhile: wait on
    if (tell)
      write_long_message(STDERR_FILENO,
                       "iochurn: %s of %s gave no answer in %d s; going on "
                       "without it\n",
                       check, path, static_cast<int>(kCheckBoundMs / 1000));
    let_go(call);
    return false;
  }
  *result = call->result;
  std::memcpy(io, call->io, io_size);
  let_go(call);
  return true;
}

}  // namespace iochurn
