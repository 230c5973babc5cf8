// The stopped-time clock.
#include "platform/pause_clock.h"

#include <time.h>

#include <atomic>

#include "platform/event.h"
#include "platform/no_destructor.h"
#include "platform/thread.h"

namespace iochurn {

namespace {

// The process-wide tally. Written by the ticker thread only (stopped time
// first, then the tick, so that a reader who takes the tick first never
// misses a stretch); read by any thread through awake_ns.
std::atomic<uint64_t> last_tick{0};
std::atomic<uint64_t> stopped_total{0};
// The ticker: started and stopped by the main thread; `stop` is never
// destroyed, since the thread may still wait on it while the process ends.
NoDestructor<AutoResetEvent> stop;
std::atomic<bool> stop_requested{false};
ThreadHandle* ticker = nullptr;

void tick_loop(void*) {
  for (;;) {
    if (stop->wait(static_cast<int64_t>(kPauseTickNs / 1000000)) ==
            WaitResult::kSignalled ||
        stop_requested.load())
      return;
    PauseTally t{last_tick.load(), stopped_total.load()};
    pause_tally_tick(&t, pause_clock_now_ns());
    stopped_total.store(t.stopped_ns);
    last_tick.store(t.last_tick_ns);
  }
}

}  // namespace

uint64_t stopped_part(uint64_t gap_ns) {
  return gap_ns > kPauseTickNs + kPauseSlackNs ? gap_ns - kPauseTickNs : 0;
}

void pause_tally_tick(PauseTally* tally, uint64_t now_ns) {
  if (tally->last_tick_ns != 0 && now_ns > tally->last_tick_ns)
    tally->stopped_ns += stopped_part(now_ns - tally->last_tick_ns);
  tally->last_tick_ns = now_ns;
}

uint64_t pause_tally_awake(const PauseTally& tally, uint64_t now_ns) {
  uint64_t stopped = tally.stopped_ns;
  if (tally.last_tick_ns != 0 && now_ns > tally.last_tick_ns)
    stopped += stopped_part(now_ns - tally.last_tick_ns);
  return now_ns > stopped ? now_ns - stopped : 0;
}

uint64_t pause_clock_now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u +
         static_cast<uint64_t>(ts.tv_nsec);
}

int pause_clock_start() {
  if (ticker != nullptr) return 0;
  last_tick.store(pause_clock_now_ns());
  stop_requested.store(false);
  unsigned long id = 0;
  int rc = start_thread(tick_loop, nullptr, &ticker, &id);
  // Without the ticker no tick ever comes: count no stopped time at all.
  if (rc != 0) last_tick.store(0);
  return rc;
}

void pause_clock_stop() {
  if (ticker == nullptr) return;
  stop_requested.store(true);
  stop->set();
  join_thread(ticker);
  ticker = nullptr;
  last_tick.store(0);
}

uint64_t awake_ns() {
  // The tick before the stopped time: see the writer's order above.
  PauseTally t;
  t.last_tick_ns = last_tick.load();
  t.stopped_ns = stopped_total.load();
  return pause_tally_awake(t, pause_clock_now_ns());
}

}  // namespace iochurn
