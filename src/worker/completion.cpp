// The 500 completion events.
#include "worker/completion.h"

#include "config/run_settings.h"
#include "platform/no_destructor.h"

namespace iochurn {

namespace {

// Built with the process and never destroyed: a late worker may still
// signal its event while the process exits, so "releasing" an event only
// means nobody waits on it any more.
NoDestructor<AutoResetEvent[kMaxThreads]> completion_events;

}  // namespace

void signal_completion(int index) { (*completion_events)[index].set(); }

WaitResult wait_completion(int index, int64_t timeout_ms) {
  return (*completion_events)[index].wait(timeout_ms);
}

}  // namespace iochurn
