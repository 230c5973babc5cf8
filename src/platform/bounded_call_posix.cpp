// The hand-over between a bounded wait and its helper thread.
#include "platform/bounded_call.h"

#include "platform/event.h"
#include "platform/no_destructor.h"
#include "platform/pause_clock.h"
#include "platform/thread.h"

namespace iochurn {

namespace {

// One wait and its helper. Both hold a reference; the last to let go frees
// the record for the next call, so a helper that outlives the wait still
// has it, and a helper that never returns keeps it for good. Records live
// in static storage, never destroyed: a stuck helper may still write one
// while the process ends.
struct Handover {
  std::atomic<int> references{0};
  std::atomic<bool> returned{false};
  std::atomic<int> result{0};
  BoundedRoutine routine = nullptr;
  void* arg = nullptr;
  AutoResetEvent done;
};
constexpr int kHandovers = 8;
NoDestructor<Handover> handovers[kHandovers];

// How often the waiter looks at the progress count.
constexpr int64_t kLookMs = 50;

Handover* claim_handover() {
  for (auto& h : handovers) {
    int free_record = 0;
    if (h->references.compare_exchange_strong(free_record, 2)) return h.get();
  }
  return nullptr;
}

// Running time in milliseconds: time the whole process was stopped is no
// time the call had to answer in.
int64_t running_ms() {
  int64_t now = pause_clock_now_ms();
  return now - paused_ms_at(now);
}

void let_go(Handover* h) { h->references.fetch_sub(1); }

void run_helper(void* raw) {
  auto* h = static_cast<Handover*>(raw);
  h->result.store(h->routine(h->arg));
  h->returned.store(true);
  h->done.set();
  let_go(h);
}

}  // namespace

BoundedEnd run_bounded(BoundedRoutine routine, void* arg, int64_t limit_ms,
                       const std::atomic<uint64_t>* progress, int* result) {
  Handover* h = claim_handover();
  ThreadHandle* helper = nullptr;
  unsigned long id = 0;
  if (h != nullptr) {
    h->routine = routine;
    h->arg = arg;
    h->returned.store(false);
    h->done.wait(0);  // a late helper's signal from an earlier wait
    if (start_thread(run_helper, h, &helper, &id) != 0) {
      h->references.store(0);
      h = nullptr;
    }
  }
  if (h == nullptr) {
    *result = routine(arg);
    return BoundedEnd::kInline;
  }
  uint64_t seen = progress != nullptr ? progress->load() : 0;
  int64_t last_change = running_ms();
  const int64_t limit = limit_ms > 0 ? limit_ms : 0;
  BoundedEnd end = BoundedEnd::kReturned;
  while (!h->returned.load()) {
    int64_t now = running_ms();
    if (progress != nullptr && progress->load() != seen) {
      seen = progress->load();
      last_change = now;
    }
    // Whole milliseconds, read twice: past the limit only when more than
    // it has gone, so the wait never ends early by the rounding.
    if (now - last_change > limit) {
      end = BoundedEnd::kTimedOut;
      break;
    }
    int64_t left_ms = limit + 1 - (now - last_change);
    h->done.wait(left_ms < kLookMs ? left_ms : kLookMs);
  }
  if (end == BoundedEnd::kReturned) *result = h->result.load();
  let_go(h);
  // A helper that returned is ending: waited for, so that it is gone when
  // the caller goes on. One still in its call is left to end on its own.
  if (end == BoundedEnd::kReturned)
    join_thread(helper);
  else
    release_thread(helper);
  return end;
}

}  // namespace iochurn
