// The bounded wait of one start-up step, on the shared helper hand-over.
#include "startup/bounded_check.h"

#include <unistd.h>

#include <cstring>
#include <new>

#include "platform/bounded_call.h"
#include "platform/message.h"

namespace iochurn {

namespace {

// A step's private copy of its inputs and outputs. A helper that never
// returns keeps its copy for good, so one left behind is never freed.
struct CheckCall {
  CheckRoutine routine = nullptr;
  unsigned char io[kCheckIoSize];
};

int check_helper(void* raw) {
  auto* call = static_cast<CheckCall*>(raw);
  return call->routine(call->io);
}

}  // namespace

bool run_bounded_check(const char* check, const char* path,
                       CheckRoutine routine, void* io, size_t io_size,
                       int* result, bool tell) {
  auto* call = new (std::nothrow) CheckCall;
  if (call == nullptr) {
    *result = routine(io);
    return true;
  }
  call->routine = routine;
  std::memcpy(call->io, io, io_size);
  int rc = 0;
  if (run_bounded(check_helper, call, kCheckBoundMs, nullptr, &rc) ==
      BoundedEnd::kTimedOut) {
    if (tell)
      write_long_message(STDERR_FILENO,
                         "iochurn: %s of %s gave no answer in %d s; going on "
                         "without it\n",
                         check, path, static_cast<int>(kCheckBoundMs / 1000));
    return false;
  }
  *result = rc;
  std::memcpy(io, call->io, io_size);
  delete call;
  return true;
}

}  // namespace iochurn
