// Time during which the whole process was stopped (Ctrl-Z, SIGSTOP, a
// debugger, a paused virtual machine), so that deadlines do not count it.
#ifndef IOCHURN_PLATFORM_PAUSE_CLOCK_H_
#define IOCHURN_PLATFORM_PAUSE_CLOCK_H_

#include <cstdint>

namespace iochurn {

// The ticker wakes this often; a gap longer than the period by more than the
// slack is taken as time the process was stopped. The slack keeps a thread
// that is merely scheduled late on a loaded machine from reading as a pause.
constexpr int64_t kPauseTickMs = 250;
constexpr int64_t kPauseSlackMs = 1000;

// The stopped time one tick reveals: the gap between two ticks minus the
// period when that excess is over `slack_ms`, else 0. Pure; any thread.
int64_t pause_in_gap_ms(int64_t previous_ms, int64_t now_ms, int64_t period_ms,
                        int64_t slack_ms);

// Reading of the monotonic clock (the one every deadline uses) in
// milliseconds. Any thread; async-signal-safe.
int64_t pause_clock_now_ms();

// Starts the ticker thread, with every signal blocked in it. Returns 0, or the error number of a thread that
// could not be started (then no pause is ever seen and deadlines count as
// before). A second call while it runs does nothing and returns 0. Called by
// the main thread at start-up.
int start_pause_clock();

// Ends the ticker and waits for it. The total is kept. Main thread only.
void stop_pause_clock();

// Milliseconds the process was stopped since the ticker started, as seen at
// `now_ms` (a pause_clock_now_ms() reading). It includes a gap the ticker
// has not yet woken up from, so a deadline checked by another thread just
// after a resume is already moved on. Any thread but not a signal handler
// (it waits out a tick being recorded); lock-free.
int64_t paused_ms_at(int64_t now_ms);

// paused_ms_at(pause_clock_now_ms()).
int64_t paused_ms();

// A span of running time: started at a clock reading, minus the stopped
// time that fell inside it. Plain record; copyable.
struct ActiveSpan {
  int64_t start_ms = 0;
  int64_t paused_at_start_ms = 0;
};

// Marks the start of a span now. Any thread but not a signal handler.
ActiveSpan active_span_start();

// Milliseconds the span has run at `now_ms`, without stopped time.
int64_t active_span_elapsed_ms(const ActiveSpan& span, int64_t now_ms);

// Adds `ms` to the stopped total as the ticker would. For tests, which cannot
// stop their own process; any thread.
void note_pause_for_test(int64_t ms);

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_PAUSE_CLOCK_H_
