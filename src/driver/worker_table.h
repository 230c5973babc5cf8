// The driver's own table of started workers. Private to src/driver.
#ifndef IOCHURN_DRIVER_WORKER_TABLE_H_
#define IOCHURN_DRIVER_WORKER_TABLE_H_

#include "config/run_settings.h"
#include "platform/thread.h"

namespace iochurn {

// Thread id and handle of the worker last started on each index; id 0 means
// no worker is watched. Written only by the main thread (create_thread and
// the monitor), read by it alone.
extern unsigned long thread_ids[kMaxThreads];
extern ThreadHandle* thread_handles[kMaxThreads];

}  // namespace iochurn

#endif  // IOCHURN_DRIVER_WORKER_TABLE_H_
