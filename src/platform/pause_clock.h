// Time the process spent stopped (SIGSTOP, Ctrl-Z on a launcher, a paused
// virtual machine), told apart from time it ran: a ticker thread wakes
// every kPauseTickNs; a gap between two of its ticks longer than that by
// more than kPauseSlackNs was time the process did not run.
#ifndef IOCHURN_PLATFORM_PAUSE_CLOCK_H_
#define IOCHURN_PLATFORM_PAUSE_CLOCK_H_

#include <cstdint>

namespace iochurn {

constexpr uint64_t kPauseTickNs = 250 * 1000000ull;
constexpr uint64_t kPauseSlackNs = 1000 * 1000000ull;

// The part of a gap between two ticks that the process spent stopped.
uint64_t stopped_part(uint64_t gap_ns);

// The rule over a sequence of ticks: the last tick and the stopped time up
// to it. Plain record; the process-wide clock below keeps one.
struct PauseTally {
  uint64_t last_tick_ns;
  uint64_t stopped_ns;
};

// Takes a tick at `now_ns` (monotonic).
void pause_tally_tick(PauseTally* tally, uint64_t now_ns);

// Monotonic time `now_ns` less every stopped stretch, including one still
// open since the last tick (a reader that runs before the ticker after a
// stop).
uint64_t pause_tally_awake(const PauseTally& tally, uint64_t now_ns);

// The process-wide clock. Starts the ticker thread; returns 0 or an error
// number (the clock then counts no stopped time). Main thread, once.
int pause_clock_start();

// Stops the ticker thread and waits for it. Main thread.
void pause_clock_stop();

// The monotonic clock less the time this process was stopped. Any thread.
uint64_t awake_ns();

// The monotonic clock, CLOCK_MONOTONIC in nanoseconds. Any thread.
uint64_t pause_clock_now_ns();

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_PAUSE_CLOCK_H_
