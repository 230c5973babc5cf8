// The worker thread and its pass loop.
#ifndef IOCHURN_WORKER_WORKER_H_
#define IOCHURN_WORKER_WORKER_H_

namespace iochurn {

// Thread routine of every worker. `arg` is a ThreadParams block allocated
// with new by create_thread; the worker owns and frees it. Runs passes until
// they are used up, run-forever is off and a break is raised, then adds its
// counters to the summary totals and signals its completion event.
void worker_thread(void* arg);

}  // namespace iochurn

#endif  // IOCHURN_WORKER_WORKER_H_
