// The status thread.
#include "report/status_thread.h"

#include <unistd.h>

#include <atomic>

#include "config/run_settings.h"
#include "guard/break_handler.h"
#include "ledger/run_record.h"
#include "platform/event.h"
#include "platform/no_destructor.h"
#include "platform/sleep.h"
#include "platform/thread.h"
#include "report/report_writer.h"
#include "report/timeline.h"

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
StatusSample before_last;  // the one before it, likewise
bool runtime_reached = false;  // the status thread's

constexpr uint64_t kSecondNs = 1000000000u;

int worker_count() { return settings.threads > 0 ? settings.threads : 0; }

uint64_t interval_ns() {
  return static_cast<uint64_t>(settings.status_interval) * 1000000000u;
}

void write_status_line(const StatusSample& now, const StatusSample& base) {
  char line[512];
  int n = format_status_line(now, base, line, sizeof line);
  // One write: the line never mixes with the workers' error lines.
  if (n > 0) (void)!write(STDERR_FILENO, line, static_cast<size_t>(n));
  before_last = last_sample;
  last_sample = now;
}

// A multi-host job formats its own line through the hook: true when it
// did. Transfers longer than `stall_ns` count as stalled.
bool write_hooked_line(uint64_t stall_ns) {
  if (hooks.line == nullptr) return false;
  char line[512];
  int n = hooks.line(stall_ns, line, sizeof line);
  if (n > 0) (void)!write(STDERR_FILENO, line, static_cast<size_t>(n));
  return true;
}

// The thread ticks every second when the run is sampled or time limited,
// else every interval; status lines and interval reports stay on the
// interval's grid either way.
uint64_t tick_ns() {
  if (timeline_enabled() || settings.runtime_s > 0) return kSecondNs;
  return interval_ns();
}

// Transfers running longer than this count as stalled in the timeline.
uint64_t timeline_stall_ns() {
  return settings.status_interval > 0 ? interval_ns() : kSecondNs;
}

void check_runtime(uint64_t now) {
  if (settings.runtime_s <= 0 || runtime_reached) return;
  uint64_t start = run_start_ns();
  if (now < start ||
      now - start < static_cast<uint64_t>(settings.runtime_s) * kSecondNs)
    return;
  runtime_reached = true;
  request_orderly_stop(EndCause::kRuntime);
}

void status_loop(void*) {
  const uint64_t step = tick_ns();
  const uint64_t ticks_per_line =
      settings.status_interval > 0 ? interval_ns() / step : 0;
  uint64_t next = last_sample.at_ns + step;
  uint64_t ticks = 0;
  for (;;) {
    uint64_t now = monotonic_ns();
    // Deadlines on a fixed grid: a slow write of the report never makes
    // the lines drift.
    int64_t wait_ms = next > now ? static_cast<int64_t>((next - now + 999999) / 1000000) : 0;
    if (wake->wait(wait_ms) == WaitResult::kSignalled || stop_requested.load())
      return;
    now = monotonic_ns();
    if (now < next) continue;
    next += step;
    ++ticks;
    timeline_sample_now(worker_count(), timeline_stall_ns());
    check_runtime(now);
    if (ticks_per_line == 0 || ticks % ticks_per_line != 0) continue;
    StatusSample sample;
    if (!write_hooked_line(interval_ns()) &&
        hooks.sample(worker_count(), interval_ns(), &sample))
      write_status_line(sample, last_sample);
    hooks.each_interval(static_cast<int64_t>(settings.status_interval) * 1000);
    write_report(false, nullptr);
  }
}

}  // namespace

void reset_status_lines() {
  last_sample = take_status_sample(0, 0);
  before_last = last_sample;
  runtime_reached = false;
}

int start_status_lines(const StatusHooks& with) {
  if (status_thread != nullptr) return 0;
  if (settings.status_interval <= 0 && !timeline_enabled() && settings.runtime_s <= 0)
    return 0;
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
  if (settings.status_interval <= 0 || write_hooked_line(interval_ns())) return;
  StatusSample sample;
  if (!hooks.sample(worker_count(), interval_ns(), &sample)) return;
  // The last line shows a later time than the one before it, even when the
  // run ended just after that one.
  if (elapsed_tenths(sample) <= elapsed_tenths(last_sample) &&
      last_sample.at_ns != before_last.at_ns) {
    uint64_t next_tenth = (elapsed_tenths(last_sample) + 1) * 100000000u;
    if (next_tenth > sample.elapsed_ns)
      micro_sleep(0, static_cast<uint32_t>((next_tenth - sample.elapsed_ns) / 1000 + 1));
    if (!hooks.sample(worker_count(), interval_ns(), &sample)) return;
  }
  // Rates over at least half an interval: a line taken moments after the
  // one before would show the nothing that finished in between.
  const StatusSample& base =
      sample.at_ns - last_sample.at_ns < interval_ns() / 2 ? before_last : last_sample;
  write_status_line(sample, base);
}

void sample_timeline_now() {
  timeline_sample_now(worker_count(), timeline_stall_ns());
}

}  // namespace iochurn
