// Start-up, worker launch, the passive wait and the end of the program.
#include "driver/driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include <cstring>

#include "auxiliary/prime_search.h"
#include "config/options.h"
#include "startup/bounded_check.h"
#include "startup/memory_budget.h"
#include "startup/preflight.h"
#include "startup/sweep.h"
#include "driver/journal_run.h"
#include "driver/run_hooks.h"
#include "driver/run_report.h"
#include "driver/worker_table.h"
#include "exit_status.h"
#include "guard/break_handler.h"
#include "guard/hang_report.h"
#include "guard/shadow_table.h"
#include "guard/signals.h"
#include "guard/watchdog.h"
#include "ledger/run_outcome.h"
#include "ledger/summary.h"
#include "platform/buffer.h"
#include "platform/message.h"
#include "platform/pause_clock.h"
#include "platform/sleep.h"
#include "report/json_report.h"
#include "report/report_page.h"
#include "report/report_writer.h"
#include "verify/block_tag.h"
#include "worker/completion.h"
#include "worker/worker.h"

namespace iochurn {

unsigned long thread_ids[kMaxThreads];
ThreadHandle* thread_handles[kMaxThreads];

namespace {

// A temporary file must never receive descriptor 0, 1 or 2: the notice or
// the progress would land inside it.
void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int opened = open("/dev/null", O_RDWR);
      if (opened != fd && opened >= 0) close(opened);
    }
  }
}

// Sets up what breaks need before any worker runs. Without it a break
// could leave files behind, so a failure stops the program: 0 or exit
// status 9 after one line on standard error.
int prepare_break_handling() {
  break_hooks.final_report = write_emergency_report;
  const char* what = "opening /dev/null for the clean-up";
  int error = shadow_prepare();
  if (error == 0) {
    what = "starting the signal thread";
    error = install_break_signals();
  }
  if (error == 0) return 0;
  write_long_message(STDERR_FILENO,
                     "iochurn: cannot set up break handling (%s): %s\n", what,
                     std::strerror(error));
  return kExitBreakSetupFailed;
}

// The sweep as a bounded step: the directory and the mode go in.
struct SweepIo {
  char dir[kPathSize];
  SweepMode mode;
};

int sweep_step(void* io) {
  auto* in = static_cast<SweepIo*>(io);
  sweep_leftovers(in->dir, in->mode);
  return 0;
}

void bounded_sweep() {
  SweepIo io{};
  std::snprintf(io.dir, sizeof io.dir, "%s", effective_workdir(settings));
  io.mode = settings.sweep;
  int unused = 0;
  (void)run_bounded_check("sweep", io.dir, sweep_step, &io, sizeof io, &unused);
}

// Workers started and not yet ended: after a time-out of the passive wait
// the summary leaves them out.
int workers_not_ended() {
  int running = 0;
  for (int i = 0; i < settings.threads; ++i)
    if (thread_handles[i] != nullptr && !thread_finished(thread_handles[i]))
      ++running;
  return running;
}

// With --diagnose, says after the summary that it leaves workers out.
void tell_partial_summary(int not_ended) {
  if (!settings.diagnose || not_ended == 0) return;
  write_message(STDERR_FILENO,
                "iochurn: %d of %d workers had not ended; the summary counts "
                "only the others%s\n",
                not_ended, settings.threads,
                settings.report_path != nullptr
                    ? " (the report has every worker's bytes)"
                    : "");
}

}  // namespace

CreateThreadResult create_thread(int index) {
  auto* params = new (std::nothrow) ThreadParams;
  if (params == nullptr) {
    std::printf("thread %d: not enough memory to run thread!\n", index);
    return kCreateNoMemory;
  }
  fill_thread_params(settings, index, params);
  if (settings.max_int_num != 0) search_primes(settings.max_int_num);
  if (settings.usec != 0) {
    auto usec = static_cast<uint32_t>(settings.usec);
    micro_sleep(usec / 1000000, usec % 1000000);
  }
  unsigned long id = 0;
  ThreadHandle* handle = nullptr;
  int rc = start_thread(worker_thread, params, &handle, &id);
  thread_ids[index] = id;
  thread_handles[index] = handle;
  if (settings.verbose)
    std::printf("thread %d: create_thread result code id = %lu\n", index, id);
  if (rc == 0) return kCreateOk;
  delete params;
  std::printf("thread %d: create_thread_error = %lu!\n", index,
              static_cast<unsigned long>(rc));
  return kCreateFailed;
}

bool passive_wait() {
  bool all_in_time = true;
  for (int i = 0; i < settings.threads; ++i) {
    if (thread_ids[i] == 0) continue;
    if (wait_worker(i, settings.passive_wait_ms) == WaitResult::kTimedOut) {
      if (settings.verbose) std::fputs("I/O timeout in wait_thread.\n", stdout);
      note_wait_timed_out();
      report_hung_transfers();
      break_handler(kTimeoutBreakCode);
      all_in_time = false;
    } else {
      // The worker has signalled; its thread is about to return.
      join_thread(thread_handles[i]);
      thread_handles[i] = nullptr;
    }
    if (settings.verbose) std::printf("thread [%d]: status done.\n", i);
  }
  return all_in_time;
}

int run_program(int argc, char** argv) {
  open_standard_descriptors();
  // Progress and messages must show as they happen, each in one write.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  reset_summary();
  MonitorSettings monitor;
  int status = process_options(argc, argv, &settings, &monitor);
  if (status >= 0) return status;
  if (settings.html_path != nullptr && (status = check_page_available()) != 0)
    return status;
  // Only the page of an earlier run: nothing runs.
  if (settings.from_report_path != nullptr)
    return write_page_from_report(settings.from_report_path, settings.html_path);
  if (settings.check_journal != nullptr) {
    status = prepare_break_handling();
    if (status != 0) return status;
    return run_journal_check(argc, argv, monitor);
  }
  if ((status = check_journal_path()) != 0) return status;
  if (check_workdir_length(settings) != 0) return kExitWorkdirTooLong;
  // Before anything that waits with a limit. Without it (no thread to
  // spare) a stopped process counts as a slow one, as it always did.
  (void)start_pause_clock();
  if ((status = hooks_ready(kExitOk)) != 0) return status;
  // Breaks work from here on, so a signal during a start-up step that waits
  // on the file system breaks as it does later.
  status = prepare_break_handling();
  if (status != 0) return status;
  // Leftovers of dead runs go before anything of this run exists; with no
  // workers (-j -1) that is all the run does.
  if (settings.sweep != SweepMode::kOff) {
    bounded_sweep();
    if (settings.threads < 0) return kExitOk;
  }

  // select needs no initialisation here, and the completion events are
  // built with the process. The rest of the process-wide state (thread
  // tables, shadow table) is static storage and already zero.
  tune_allocator();
  // Buffers past the budget fail as allocations do, instead of the
  // out-of-memory killer ending the run later and leaving its files.
  const int64_t budget = apply_memory_budget(settings);
  preflight_warnings(settings, budget);
  settings.passive_wait_ms = timeout_ms(settings.io_tmout_secs, 2000);
  watchdog_limit_ms = timeout_ms(settings.io_tmout_secs, 1000);
  choose_block_run_id();
  if ((status = start_run_journal()) != 0) return status;
  report_run_start(argc, argv, monitor);
  freeze_settings();

  int started = 0;
  for (int i = 0; i < settings.threads; ++i) {
    if (settings.verbose) std::printf("Try to run thread %d.\n", i);
    // -P and -w can make the start long: the other processes keep hearing
    // from this one.
    if (run_hooks.poll != nullptr) run_hooks.poll();
    if (create_thread(i) != kCreateOk) {
      std::fputs("Thread creation failed. Terminate.\n", stdout);
      stop_cut_timer();
      end_run_journal();
      shadow_final_cleanup(kExitStartFailed);
      return report_run_end(EndCause::kStartFailed, kExitStartFailed);
    }
    ++started;
  }
  // Without status lines when the thread cannot start: the run matters more.
  (void)start_status_thread();
  (void)start_cut_timer();

  if (monitor.monitor_threads) {
    if (active_monitor(monitor, started) != 0) {
      stop_status_thread();
      stop_cut_timer();
      end_run_journal();
      shadow_final_cleanup(kExitRerunFailed);
      return report_run_end(EndCause::kRerunFailed, kExitRerunFailed);
    }
  } else {
    passive_wait();
  }
  stop_cut_timer();
  status = hooks_finish(kExitOk);
  stop_status_thread();
  check_settings_frozen();
  const int not_ended = workers_not_ended();
  if (settings.collect_stats) {
    print_summary();
    tell_partial_summary(not_ended);
  }
  // Workers that outlasted the wait may still hold files.
  end_run_journal();
  shadow_final_cleanup(kExitOk);
  return report_run_end(EndCause::kCompleted, status, not_ended > 0);
}

}  // namespace iochurn
