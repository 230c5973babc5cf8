// The status thread.
#include "report/status_thread.h"

#include <unistd.h>

#include <atomic>

#include "config/run_settings.h"
#include "platform/event.h"
#include "platform/no_destructor.h"
#include "platform/thread.h"
#include "report/report_writer.h"
#include "ledger/run_record.h"

namespace iochurn {

namespace {

// Written by the main thread only (start and stop); the thread itself
// reads `stop_requested` and `hooks` and waits on `wake`, which is never
// destroyed because the thread may outlive a main that returns.
NoDestructor<AutoResetEvent> wake;
std::atomic<bool> stop_requested{false};
ThreadHandle* status_thread = nullptr;
StatusHooks hooks{};
StatusSample last_sample;  // the status thread's, then the main thread's

int worker_count() { return settings.threads > 0 ? settings.threads : 0; }

uint64_t interval_ns() {
  return static_cast<uint64_t>(settings.status_interval) * 1000000000u;
}

void write_status_line(const StatusSample& now) {
  char line[256];
  int n = format_status_line(now, last_sample, line, sizeof line);
  // One write: the line never mixes with the workers' error lines.
  if (n > 0) (void)!write(STDERR_FILENO, line, static_cast<size_t>(n));
  last_sample = now;
}

// Transfers longer than `stall_ns` count as stalled.
void write_next_line(uint64_t stall_ns) {
  if (hooks.line != nullptr) {
    char line[256];
    int n = hooks.line(stall_ns, line, sizeof line);
    if (n > 0) (void)!write(STDERR_FILENO, line, static_cast<size_t>(n));
    return;
  }
  StatusSample sample;
  if (hooks.sample(worker_count(), stall_ns, &sample))
    write_status_line(sample);
}

void status_loop(void*) {
  const uint64_t step = interval_ns();
  uint64_t next = last_sample.at_ns + step;
  for (;;) {
    uint64_t now = monotonic_ns();
    // Deadlines on a fixed grid: a slow write of the report never makes
    // the lines drift.
    int64_t wait_ms = next > now ? static_cast<int64_t>((next - now + 999999) / 1000000) : 0;
    if (wake->wait(wait_ms) == WaitResult::kSignalled || stop_requested.load())
      return;
    if (monotonic_ns() < next) continue;
    next += step;
    write_next_line(step);
    hooks.each_interval(static_cast<int64_t>(settings.status_interval) * 1000);
    write_report(false, nullptr);
  }
}

}  // namespace

void reset_status_lines() { last_sample = take_status_sample(0, 0); }

int start_status_lines(const StatusHooks& with) {
  if (settings.status_interval <= 0 || status_thread != nullptr) return 0;
  hooks = with;
  stop_requested.store(false);
  unsigned long id = 0;
  return start_thread(status_loop, nullptr, &status_thread, &id);
}

void stop_status_lines() {
  if (status_thread == nullptr) return;
  stop_requested.store(true);
  wake->set();
  join_thread(status_thread);
  status_thread = nullptr;
  write_next_line(interval_ns());
}

}  // namespace iochurn
