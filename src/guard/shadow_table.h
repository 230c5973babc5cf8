// The shadow table: a mirror of every worker's slots for the emergency
// clean-up, and the gates that keep workers and that clean-up apart.
#ifndef IOCHURN_GUARD_SHADOW_TABLE_H_
#define IOCHURN_GUARD_SHADOW_TABLE_H_

#include <cstdint>

#include "platform/mutex.h"
#include "tempfile/file_slot.h"

namespace iochurn {

constexpr int kShadowEntries = kMaxThreads * kMaxFiles;

// Worker t's mirrored slots, slot j in entries[j]. Each worker writes only
// its own row, under the row's lock (its entry lock); the emergency clean-up reads every row
// under the same lock. Zero (static storage) at start-up. Mutex stays usable
// while exit() runs static destructors.
struct ShadowRow {
  Mutex lock;
  FileSlot entries[kMaxFiles] GUARDED_BY(lock);
};
extern ShadowRow shadow_rows[kMaxThreads];

// Number of slot `slot` of thread index `thread_index` across the whole
// table (t x filecount + j), as the clean-up's messages name it.
int shadow_index(int thread_index, int slot, int filecount);

// Mirrors a worker's slot as it now is, before the slot's buffer is filled
// or its file opened (no-op when mirroring is off). Called by the owning
// worker; takes the row's lock for the store.
void shadow_set_slot(int thread_index, int slot, const FileSlot& value);

// Mirrors the descriptor an open returned, unless the emergency clean-up
// has begun: then the worker closes (and deletes) its own new file and
// parks, since the clean-up may already have passed its entry. Call after
// open_begin() and the open itself.
void shadow_set_descriptor(int thread_index, int slot, int descriptor);

// Bracket an open so the emergency clean-up can wait, briefly, for opens in
// flight to settle before the process ends.
void open_begin();
void open_end();

// Busy gate around every use of a slot's descriptor or buffer outside the
// pass clean-up: allocation and fill, open, seek, each transfer with its sum.
// gate_enter parks the calling worker for good once the emergency clean-up
// has begun; a worker inside the gate is never closed under or freed under.
// gate_leave parks too, so nothing seen during the clean-up is reported.
void gate_enter(int thread_index);
void gate_leave(int thread_index);

// Holds a worker's gate for the scope it lives in.
class GateHold {
 public:
  explicit GateHold(int thread_index) : thread_index_(thread_index) {
    gate_enter(thread_index_);
  }
  ~GateHold() { gate_leave(thread_index_); }
  GateHold(const GateHold&) = delete;
  GateHold& operator=(const GateHold&) = delete;

 private:
  int thread_index_;
};

// Runs a worker's pass clean-up as one step against the emergency clean-up:
// `step(arg)` (close_files, free_buffers) and the clearing of the worker's
// entries, under its entry lock. Parks instead when the emergency clean-up
// has begun; that clean-up then owns the worker's files.
void shadow_cleanup_step(int thread_index, void (*step)(void*), void* arg);

// Claims the end of the process for the caller. Returns true for the first
// caller; every later caller gets false and must park, since the first one
// ends the process. Async-signal-safe.
bool begin_emergency();

// The emergency clean-up over the whole table (the caller has claimed it
// with begin_emergency). Workers not inside a gate have their files deleted
// and closed and their buffers released; workers inside one (maybe hung in
// the kernel) have their files deleted by name and their descriptors
// pointed at /dev/null, and keep their buffers until the process ends. A
// worker whose entry lock stays taken for about a second (stuck in a close
// or delete of its pass clean-up) has its files deleted by the names its
// worker gives them and nothing else touched. Never blocks on an entry
// lock; may block in a close or delete the file system does not answer,
// so run it through run_bounded_cleanup.
void Shadow_close_files();
void Shadow_free_buffers();

// Waits up to about a second for opens in flight to settle.
void settle_open_files();

// Milliseconds without any clean-up call returning after which whoever waits
// for the clean-up stops waiting.
constexpr int64_t kCleanupStallLimitMs = 3000;

// Runs `steps(arg)` (the clean-up) on a helper thread and waits while it
// makes progress. Returns when it is done. When kCleanupStallLimitMs pass
// without progress (a call the file system does not answer), lists on
// standard error every file name the clean-up has not deleted yet, one
// line each, and ends the process with _exit(exit_status); the kernel
// delivers that status only once every stuck call has returned. Never
// takes an entry lock. When no helper thread can be started, runs the
// steps on the calling thread, unbounded. The caller has claimed the end
// of the process with begin_emergency.
void run_bounded_cleanup(void (*steps)(void*), void* arg, int exit_status);

// Tells the waiting thread that the clean-up is still moving. The
// clean-up's steps, after each call that may hang.
void note_cleanup_progress();

// The same clean-up, for the end of the process while workers may still
// run, bounded as above: silent, unless the bound is reached (then the
// names are listed and the process ends with `exit_status`). Claims the end
// itself; parks if someone else has. Main thread.
void shadow_final_cleanup(int exit_status);

// Parks the calling thread until the process ends.
[[noreturn]] void park_forever();

// Opens the /dev/null descriptor the clean-up needs before any worker runs,
// so that a full descriptor table cannot stop it later. Returns 0 or errno.
int shadow_prepare();

// Test hook: clears the table and the gates a test has touched.
void shadow_reset_for_test();

}  // namespace iochurn

#endif  // IOCHURN_GUARD_SHADOW_TABLE_H_
