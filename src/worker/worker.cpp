// Worker thread: passes over the worker's own file slots.
#include "worker/worker.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "auxiliary/pass_log.h"
#include "guard/break_handler.h"
#include "guard/shadow_table.h"
#include "guard/watchdog.h"
#include "ledger/run_record.h"
#include "ledger/summary.h"
#include "platform/sleep.h"
#include "worker/completion.h"
#include "worker/slots.h"
#include "worker/transfer.h"
#include "worker/worker_report.h"

namespace iochurn {

namespace {

bool break_raised() { return user_break.load() != 0; }

void log_line(bool started, int index, uint32_t pass) {
  if (settings.logfile == nullptr) return;
  char line[256];
  std::snprintf(line, sizeof line, "Thread %d: %s pass %lu.\n", index,
                started ? "Started" : "Finished",
                static_cast<unsigned long>(pass));
  log_pass(settings.logfile, line);
}

void release_slots(void* arg) {
  auto* w = static_cast<Worker*>(arg);
  verbose_line("Thread %d: Close and delete files.\n", w->index);
  close_files(w);
  verbose_line("Thread %d: Free memory buffers.\n", w->index);
  free_buffers(w);
}

// One pass; returns false when the worker should end.
bool run_pass(Worker* w, uint32_t* pass, uint32_t* remaining) {
  const int t = w->index;
  w->pass = *pass + 1;
  bool whole = false;  // both phases ran: the pass counts as completed
  do {
    if (break_raised()) break;
    log_line(true, t, w->pass);
    verbose_line("Thread %d: Init structures. %u buffers, each size %u MBytes\n",
                 t, static_cast<unsigned>(settings.filecount),
                 static_cast<unsigned>(settings.bufsize));
    setup_slots(w);
    if (settings.random_sleep) {
      int seconds = std::rand() & 0xF;
      verbose_line("Thread %d: sleep for %d seconds.\n", t, seconds);
      micro_sleep(static_cast<uint32_t>(seconds), 0);
    }
    if (break_raised()) break;
    verbose_line("Thread %d: Allocate memory buffers.\n", t);
    allocate_buffers(w);
    if (break_raised()) break;
    create_files(w);
    if (break_raised()) break;
    write_phase(w);
    if (break_raised()) break;
    read_verify_phase(w);
    whole = true;
  } while (false);

  // Closing, freeing and clearing the mirror entries are one step as seen by
  // the emergency clean-up.
  shadow_cleanup_step(t, release_slots, w);
  log_line(false, t, w->pass);
  ++*pass;
  if (whole) record_pass_completed(t);
  verbose_line("Thread %d: Pass %lu finished.\n", t,
               static_cast<unsigned long>(*pass));
  if (break_raised()) {
    verbose_line("Thread %d: (process %d) terminated by user break.\n", t,
                 w->pid);
    return false;
  }
  if (w->params.run_forever) return true;
  return --*remaining != 0;
}

}  // namespace

void worker_thread(void* arg) {
  auto* params = static_cast<ThreadParams*>(arg);
  Worker worker{};
  Worker* w = &worker;
  w->params = *params;
  delete params;
  w->index = w->params.thread_index;
  w->pid = static_cast<int32_t>(getpid());
  w->generation = record_worker_start(w->index);
  // A re-run on the index adds to its record; the summary takes this run's
  // share.
  w->counted_before = record_counts(w->index);
  verbose_line("Thread %d: (process %u) started.\n", w->index,
               static_cast<unsigned>(w->pid));

  uint32_t pass = 0;
  auto remaining = static_cast<uint32_t>(w->params.passes);
  while (run_pass(w, &pass, &remaining)) {
  }

  verbose_line("Thread %d: (process %u) terminated.\n", w->index,
               static_cast<unsigned>(w->pid));
  watchdog_stop(w->index);
  // Added whether or not the summary is printed: the report and --strict
  // count them too.
  add_to_summary(run_counts(w));
  signal_completion(w->index);
}

}  // namespace iochurn
