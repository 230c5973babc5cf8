// One call of a worker as its watchdog and the run record see it:
// published, armed, called, disarmed, recorded, for the scope it lives in.
#ifndef IOCHURN_GUARD_WATCHED_CALL_H_
#define IOCHURN_GUARD_WATCHED_CALL_H_

#include <cstdint>

#include "guard/watchdog.h"
#include "ledger/run_record.h"

namespace iochurn {

// Publishes the call as the worker's activity and, when `watched`, arms the
// worker's watchdog; the destructor disarms it and ends the activity with
// `result` (bytes moved, a descriptor, 0; negative for a failed call),
// which the caller sets before the scope ends. Worker `thread` only; on the
// per-chunk path, so nothing here allocates or takes a lock.
class WatchedCall {
 public:
  WatchedCall(int thread, Op op, int slot, uint64_t offset, uint64_t bytes,
              uint32_t pass, bool watched)
      : thread_(thread),
        op_(op),
        watched_(watched),
        pass_(pass),
        start_(activity_begin(thread, op, slot, offset, bytes)) {
    if (watched_) watchdog_arm(thread_);
  }
  ~WatchedCall() {
    if (watched_) watchdog_disarm(thread_);
    activity_end(thread_, op_, start_, result, pass_);
  }
  WatchedCall(const WatchedCall&) = delete;
  WatchedCall& operator=(const WatchedCall&) = delete;

  int64_t result = 0;

 private:
  int thread_;
  Op op_;
  bool watched_;
  uint32_t pass_;
  uint64_t start_;
};

}  // namespace iochurn

#endif  // IOCHURN_GUARD_WATCHED_CALL_H_
