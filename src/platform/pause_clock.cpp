// The ticker that tells a stopped process from a slow device.
#include "platform/pause_clock.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>

#include "platform/event.h"
#include "platform/no_destructor.h"
#include "platform/thread.h"

namespace iochurn {

namespace {

// Written by the ticker thread (and note_pause_for_test), read by any thread
// that checks a deadline. The writer makes g_sequence odd while it changes
// the pair; a reader retries until it saw the same even value before and
// after, so a gap is counted neither twice nor not at all.
std::atomic<uint64_t> g_sequence{0};
std::atomic<int64_t> g_paused_ms{0};
std::atomic<int64_t> g_last_tick_ms{0};  // 0: ticker not running
std::atomic_flag g_writing = ATOMIC_FLAG_INIT;  // one writer at a time

// Adds `add_ms` to the total and sets the last tick, as one change.
void publish(int64_t add_ms, int64_t tick_ms) {
  while (g_writing.test_and_set()) {
  }
  g_sequence.fetch_add(1);
  g_paused_ms.fetch_add(add_ms);
  g_last_tick_ms.store(tick_ms);
  g_sequence.fetch_add(1);
  g_writing.clear();
}

// Owned by the main thread (start/stop).
ThreadHandle* g_ticker = nullptr;
NoDestructor<AutoResetEvent> g_stop_ticker;
std::atomic<bool> g_ticker_stopping{false};

void ticker_routine(void*) {
  while (!g_ticker_stopping.load()) {
    g_stop_ticker->wait(kPauseTickMs);
    int64_t now = pause_clock_now_ms();
    int64_t previous = g_last_tick_ms.load();
    int64_t gap = pause_in_gap_ms(previous, now, kPauseTickMs, kPauseSlackMs);
    publish(gap, now);
  }
}

}  // namespace

int64_t pause_in_gap_ms(int64_t previous_ms, int64_t now_ms, int64_t period_ms,
                        int64_t slack_ms) {
  int64_t excess = now_ms - previous_ms - period_ms;
  return excess > slack_ms ? excess : 0;
}

int64_t pause_clock_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

int start_pause_clock() {
  if (g_ticker != nullptr) return 0;
  g_ticker_stopping.store(false);
  publish(0, pause_clock_now_ms());
  unsigned long id = 0;
  // The ticker takes no signal: started before the break signals are
  // blocked, it would otherwise meet a Ctrl-C with its default action.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &saved);
  int rc = start_thread(ticker_routine, nullptr, &g_ticker, &id);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (rc != 0) {
    g_ticker = nullptr;
    publish(0, 0);
  }
  return rc;
}

void stop_pause_clock() {
  if (g_ticker == nullptr) return;
  g_ticker_stopping.store(true);
  g_stop_ticker->set();
  join_thread(g_ticker);
  g_ticker = nullptr;
  publish(0, 0);
}

int64_t paused_ms_at(int64_t now_ms) {
  for (;;) {
    uint64_t before = g_sequence.load();
    if (before % 2 != 0) continue;
    int64_t tick = g_last_tick_ms.load();
    int64_t total = g_paused_ms.load();
    if (g_sequence.load() != before) continue;
    if (tick == 0) return total;
    return total + pause_in_gap_ms(tick, now_ms, kPauseTickMs, kPauseSlackMs);
  }
}

int64_t paused_ms() { return paused_ms_at(pause_clock_now_ms()); }

ActiveSpan active_span_start() {
  ActiveSpan span;
  span.start_ms = pause_clock_now_ms();
  span.paused_at_start_ms = paused_ms_at(span.start_ms);
  return span;
}

int64_t active_span_elapsed_ms(const ActiveSpan& span, int64_t now_ms) {
  int64_t elapsed =
      now_ms - span.start_ms - (paused_ms_at(now_ms) - span.paused_at_start_ms);
  return elapsed > 0 ? elapsed : 0;
}

void note_pause_for_test(int64_t ms) {
  publish(ms, g_last_tick_ms.load());
}

}  // namespace iochurn
