// Completion events: how a worker tells the main thread it has ended.
#ifndef IOCHURN_WORKER_COMPLETION_H_
#define IOCHURN_WORKER_COMPLETION_H_

#include <cstdint>

#include "platform/event.h"

namespace iochurn {

// Signals the completion event of worker index `index`. The worker, as the
// last thing it does.
void signal_completion(int index);

// Waits for the completion event of `index` at most `timeout_ms`
// (negative: for ever). Main thread.
WaitResult wait_completion(int index, int64_t timeout_ms);

}  // namespace iochurn

#endif  // IOCHURN_WORKER_COMPLETION_H_
