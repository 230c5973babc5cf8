// One long-lived watchdog thread per worker, armed per transfer with a
// deadline: starting a thread for every transfer costs tens of microseconds,
// too much beside MB-sized transfers on fast storage.
#include "guard/watchdog.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "config/run_settings.h"
#include "exit_status.h"
#include "guard/break_handler.h"
#include "guard/hang_report.h"
#include "ledger/run_outcome.h"
#include "platform/mutex.h"
#include "platform/no_destructor.h"
#include "platform/pause_clock.h"
#include "platform/thread.h"

namespace iochurn {

int64_t watchdog_limit_ms = int64_t{kDefaultIoTimeoutSecs} * 1000;

namespace {

using Clock = std::chrono::steady_clock;

// Shared by one worker and its watchdog thread.
struct WatchdogSlot {
  Mutex mutex;
  CondVar changed;
  bool armed GUARDED_BY(mutex) = false;
  bool stop GUARDED_BY(mutex) = false;
  // The watchdog waits for an arming, with no deadline.
  bool idle GUARDED_BY(mutex) = false;
  Clock::time_point deadline GUARDED_BY(mutex);
  // Stopped time of the process (pause_clock) as the deadline last saw it.
  int64_t paused_seen_ms GUARDED_BY(mutex) = 0;
  ThreadHandle* thread = nullptr;  // touched by the owning worker only
};

// Never destroyed: a watchdog may still be waiting while the process exits.
NoDestructor<WatchdogSlot[kMaxThreads]> slots;
std::atomic<uint64_t> expiries{0};

// Serves every arming of one worker. Arming only moves the deadline later
// and disarming only clears the flag, so neither wakes this thread while it
// sleeps towards a deadline: it wakes at the old deadline, finds a later
// one or no arming at all, and sleeps on. That keeps a guarded transfer as
// cheap as an unguarded one.
void wait_thread(void* arg) {
  auto* slot = static_cast<WatchdogSlot*>(arg);
  slot->mutex.lock();
  while (!slot->stop) {
    if (!slot->armed || watchdog_limit_ms < 0) {
      slot->idle = true;
      slot->changed.wait(slot->mutex);
      slot->idle = false;
      continue;
    }
    Clock::time_point deadline = slot->deadline;
    if (Clock::now() < deadline) {
      slot->changed.wait_until(slot->mutex, deadline);
      continue;
    }
    // Time the whole process was stopped (Ctrl-Z, a debugger, a paused
    // machine) is not the device's: the deadline moves on by it.
    int64_t paused = paused_ms();
    if (paused > slot->paused_seen_ms) {
      slot->deadline += std::chrono::milliseconds(paused - slot->paused_seen_ms);
      slot->paused_seen_ms = paused;
      continue;
    }
    // Expired: this arming fires once; its late disarm changes nothing.
    slot->armed = false;
    slot->mutex.unlock();
    expiries.fetch_add(1);
    note_watchdog_expired();  // before the break, so the run ends as "watchdog"
    if (settings.verbose) std::fputs("I/O timeout in wait_thread.\n", stdout);
    report_hung_worker(static_cast<int>(slot - &(*slots)[0]));
    break_handler(kTimeoutBreakCode);
    slot->mutex.lock();
  }
  slot->mutex.unlock();
}

}  // namespace

int watchdog_arm(int t) {
  WatchdogSlot& slot = (*slots)[t];
  if (slot.thread == nullptr) {
    unsigned long id;
    if (start_thread(wait_thread, &slot, &slot.thread, &id) != 0) {
      if (settings.verbose)
        std::fputs("ERR [alarm]: cannot run wait_thread.\n", stdout);
      return -1;
    }
  }
  // A limit too far away to represent on the clock never expires either.
  constexpr int64_t kFarMs = int64_t{100} * 365 * 24 * 3600 * 1000;
  int64_t limit = watchdog_limit_ms > kFarMs ? kFarMs : watchdog_limit_ms;
  const int64_t paused = paused_ms();
  bool wake;
  {
    MutexLock lock(&slot.mutex);
    if (limit >= 0)
      slot.deadline = Clock::now() + std::chrono::milliseconds(limit);
    slot.paused_seen_ms = paused;
    slot.armed = true;
    wake = slot.idle;
  }
  if (wake) slot.changed.notify_one();
  return 0;
}

void watchdog_disarm(int t) {
  WatchdogSlot& slot = (*slots)[t];
  if (slot.thread == nullptr) return;
  MutexLock lock(&slot.mutex);
  slot.armed = false;
}

void watchdog_stop(int t) {
  WatchdogSlot& slot = (*slots)[t];
  if (slot.thread == nullptr) return;
  {
    MutexLock lock(&slot.mutex);
    slot.stop = true;
  }
  slot.changed.notify_one();
  join_thread(slot.thread);
  slot.thread = nullptr;
  MutexLock lock(&slot.mutex);
  slot.stop = false;
  slot.armed = false;
  slot.idle = false;
}

uint64_t watchdog_expiries() { return expiries.load(); }

}  // namespace iochurn
