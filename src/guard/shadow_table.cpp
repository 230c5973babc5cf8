// Shadow table, worker gates and the emergency clean-up.
//
// How the emergency clean-up and running workers stay apart:
// - `emergency` is set once, by exchange, by whoever ends the process first
//   (the -u break handler, or the main thread on its way out). Everyone else
//   who would end the process parks instead, so the clean-up runs once.
// - Each worker has a `busy` flag. Around every use of a slot's descriptor
//   or buffer it sets busy, then checks `emergency` (both sequentially
//   consistent): if the clean-up has begun it clears busy and parks for good.
//   Whatever order the two flags are set in, either the worker sees the
//   emergency and never touches its slots again, or the clean-up sees it
//   busy and leaves its descriptors and buffers in place.
// - The clean-up walks the workers under each worker's entry lock. A worker
//   that is not busy will park at its next gate: its files are closed and
//   deleted and its buffers released. A busy worker may be stuck in the
//   kernel for ever: its files are deleted by name and each of its
//   descriptors is replaced by /dev/null with dup2, never closed, so the
//   number cannot be handed to another open and a late write lands nowhere;
//   its buffers go back with the process. Nobody waits for a transfer.
// - A worker's pass clean-up (close, delete, free, clear its entries) runs
//   under its entry lock and checks `emergency` there, so the clean-up sees
//   its entries either whole or already zero.
// - The path is mirrored before an open and the descriptor after it, under
//   the entry lock. An open in flight when the emergency begins is caught by
//   the worker itself when it comes to mirror the descriptor: it closes and
//   deletes its own file and parks. The clean-up gives such opens about a
//   second to settle before the process ends.
// - The clean-up itself runs on a helper thread; whoever ends the process
//   waits for it only while it makes progress (kCleanupStallLimitMs with
//   no call returning ends the wait), since on a file system that has
//   stopped answering a close or a delete hangs like a transfer. The helper
//   never blocks on an entry lock: a worker holds its lock through its pass
//   clean-up step, whose close or delete may be the call that hangs. A
//   worker whose lock stays taken has its files deleted by the names its
//   files have (process id, thread index, slot), its descriptors and
//   buffers left alone. When the wait ends early, the names not yet
//   deleted are listed on standard error and the process ends with _exit.
#include "guard/shadow_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "guard/hang_report.h"
#include "guard/slot_release.h"
#include "platform/bounded_call.h"
#include "platform/message.h"
#include "platform/sleep.h"
#include "platform/thread.h"
#include "ledger/run_record.h"

namespace iochurn {

ShadowRow shadow_rows[kMaxThreads];

namespace {

static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<int> worker_busy[kMaxThreads];
std::atomic<bool> emergency{false};
std::atomic<int> opens_in_flight{0};
// Written and read by the one clean-up only.
bool seen_busy[kMaxThreads];
bool locked_out[kMaxThreads];

// How long the clean-up tries for a worker's entry lock before it takes the
// holder for stuck.
constexpr uint64_t kLockPatienceNs = 1000 * 1000000ull;

// What became of each entry's name in the clean-up: written by the helper
// that runs it, read by the thread that waits for it.
enum NameState : uint8_t { kNoName = 0, kToDelete, kDeleted };
std::atomic<uint8_t> name_state[kShadowEntries];
std::atomic<uint64_t> cleanup_progress{0};

int mirrored_workers() { return settings.threads > 0 ? settings.threads : 0; }

// The entries of worker `t`, its lock held: names first, then descriptors.
void release_entries(int t, bool quiet) REQUIRES(shadow_rows[t].lock) {
  int filecount = settings.filecount;
  seen_busy[t] = worker_busy[t].load() != 0;
  for (int j = 0; j < filecount; ++j) {
    int i = shadow_index(t, j, filecount);
    FileSlot* e = &shadow_rows[t].entries[j];
    delete_slot_file(e, i, quiet);
    name_state[i].store(kDeleted);
    note_cleanup_progress();
    close_slot_file(e, i,
                    seen_busy[t] ? ReleaseMode::kDetach : ReleaseMode::kClose,
                    quiet);
    note_cleanup_progress();
  }
}

// Worker `t` keeps its lock: deletes its files by name, leaving its
// descriptors and buffers to the process's end. A slot without a file
// gives ENOENT, which is no failure.
void delete_by_name(int t, bool quiet) {
  int filecount = settings.filecount;
  for (int j = 0; j < filecount; ++j) {
    int i = shadow_index(t, j, filecount);
    if (name_state[i].load() != kToDelete) continue;
    char path[kPathSize];
    if (!worker_file_path(path, sizeof path, t, j)) continue;
    int error = unlink(path) == 0 ? 0 : errno;
    if (error == 0 || error == ENOENT)
      name_state[i].store(kDeleted);
    else if (!quiet)
      report_cleanup_failure("unlink", error, i);
    note_cleanup_progress();
  }
}

// Marks worker `t`'s names that may exist: created (or being opened by a
// busy worker) and not yet deleted; all of them when its row is locked.
void mark_names(int t, int filecount) {
  ShadowRow& row = shadow_rows[t];
  if (!row.lock.try_lock()) {
    for (int j = 0; j < filecount; ++j)
      name_state[shadow_index(t, j, filecount)].store(kToDelete);
    return;
  }
  const bool busy = worker_busy[t].load() != 0;
  for (int j = 0; j < filecount; ++j) {
    const FileSlot& e = row.entries[j];
    bool may_exist = e.path[0] != '\0' && (e.descriptor >= 0 || busy);
    name_state[shadow_index(t, j, filecount)].store(may_exist ? kToDelete
                                                              : kNoName);
  }
  row.lock.unlock();
}

void close_all(bool quiet) {
  int filecount = settings.filecount;
  if (!settings.shadow_enabled || filecount < 1) return;
  const int workers = mirrored_workers();
  // Marked before anything is tried, so that whoever waits can name every
  // file the clean-up has not got to: those that were created (or are being
  // opened by a busy worker) and not yet deleted. A worker whose lock is
  // taken cannot be looked at: all its names are marked.
  if (settings.delete_files) {
    for (int t = 0; t < workers; ++t) mark_names(t, filecount);
  }
  int waiting = workers;
  for (int t = 0; t < workers; ++t) locked_out[t] = true;
  const uint64_t give_up = monotonic_ns() + kLockPatienceNs;
  for (;;) {
    for (int t = 0; t < workers; ++t) {
      if (!locked_out[t]) continue;
      if (!shadow_rows[t].lock.try_lock()) continue;
      release_entries(t, quiet);
      shadow_rows[t].lock.unlock();
      locked_out[t] = false;
      --waiting;
    }
    if (waiting == 0 || monotonic_ns() > give_up) break;
    micro_sleep(0, 1000);
  }
  for (int t = 0; t < workers; ++t) {
    if (!locked_out[t]) continue;
    seen_busy[t] = true;
    delete_by_name(t, quiet);
  }
}

// Names what the clean-up did not get to, then ends the process.
[[noreturn]] void give_up_cleanup(int exit_status) {
  write_message(STDERR_FILENO,
                "iochurn: clean-up stopped: no answer from the file system "
                "for %d s\n",
                static_cast<int>(kCleanupStallLimitMs / 1000));
  int filecount = settings.filecount;
  int entries = filecount > 0 ? mirrored_workers() * filecount : 0;
  for (int i = 0; i < entries; ++i) {
    if (name_state[i].load() != kToDelete) continue;
    char path[kPathSize];
    if (worker_file_path(path, sizeof path, i / filecount, i % filecount))
      write_long_message(STDERR_FILENO, "iochurn: may remain: %s\n", path);
  }
  // exit() would run destructors and flush streams a stuck helper may be
  // inside; the kernel still holds the status until stuck calls return.
  _exit(exit_status);
}

}  // namespace

int shadow_index(int thread_index, int slot, int filecount) {
  return thread_index * filecount + slot;
}

void shadow_set_slot(int t, int j, const FileSlot& value) {
  if (!settings.shadow_enabled) return;
  MutexLock lock(&shadow_rows[t].lock);
  shadow_rows[t].entries[j] = value;
}

void shadow_set_descriptor(int t, int j, int descriptor) {
  ShadowRow& row = shadow_rows[t];
  row.lock.lock();
  if (emergency.load()) {
    // The clean-up may have passed this entry before the open returned.
    if (descriptor >= 0) {
      close(descriptor);
      if (settings.delete_files) unlink(row.entries[j].path);
    }
    row.lock.unlock();
    open_end();
    worker_busy[t].store(0);
    park_forever();
  }
  if (settings.shadow_enabled) row.entries[j].descriptor = descriptor;
  row.lock.unlock();
}

void open_begin() { opens_in_flight.fetch_add(1); }
void open_end() { opens_in_flight.fetch_sub(1); }

void gate_enter(int t) {
  worker_busy[t].store(1);
  if (emergency.load()) {
    worker_busy[t].store(0);
    park_forever();
  }
}

void gate_leave(int t) {
  worker_busy[t].store(0);
  // A transfer that returned after the clean-up began may have been moved
  // onto /dev/null under the worker: whatever it saw is not the storage's
  // doing and must not be reported.
  if (emergency.load()) park_forever();
}

void shadow_cleanup_step(int t, void (*step)(void*), void* arg) {
  ShadowRow& row = shadow_rows[t];
  row.lock.lock();
  if (emergency.load()) {
    row.lock.unlock();
    park_forever();
  }
  step(arg);
  int filecount = settings.filecount;
  if (settings.shadow_enabled && filecount > 0)
    std::memset(static_cast<void*>(row.entries), 0,
                sizeof(FileSlot) * static_cast<size_t>(filecount));
  row.lock.unlock();
}

bool begin_emergency() { return !emergency.exchange(true); }

void Shadow_close_files() {
  if (settings.verbose) std::fputs("Shadow_close_files.\n", stdout);
  close_all(false);
}

void Shadow_free_buffers() {
  if (settings.verbose) std::fputs("Shadow_free_buffers.\n", stdout);
  int filecount = settings.filecount;
  if (!settings.shadow_enabled || filecount < 1) return;
  for (int t = 0; t < mirrored_workers(); ++t) {
    // A lock still taken: the buffers go back with the process.
    ShadowRow& row = shadow_rows[t];
    if (!row.lock.try_lock()) continue;
    if (!seen_busy[t] && worker_busy[t].load() == 0)
      for (int j = 0; j < filecount; ++j) release_slot_buffers(&row.entries[j]);
    row.lock.unlock();
  }
}

void settle_open_files() {
  note_cleanup_progress();
  for (int i = 0; i < 1000 && opens_in_flight.load() > 0; ++i)
    micro_sleep(0, 1000);
}

bool wait_gates_quiet(int64_t limit_ms) {
  for (int64_t waited_ms = 0;; waited_ms += 1) {
    bool busy = false;
    for (int t = 0; t < mirrored_workers() && !busy; ++t)
      busy = worker_busy[t].load() != 0;
    if (!busy) return true;
    if (waited_ms >= limit_ms) return false;
    micro_sleep(0, 1000);
  }
}

void note_cleanup_progress() { cleanup_progress.fetch_add(1); }

namespace {

// The clean-up's steps as the helper runs them. Outlives a helper that
// never returns.
struct CleanupWork {
  void (*steps)(void*);
  void* arg;
};
CleanupWork cleanup_work;

int run_cleanup_steps(void* raw) {
  auto* work = static_cast<CleanupWork*>(raw);
  work->steps(work->arg);
  return 0;
}

}  // namespace

void run_bounded_cleanup(void (*steps)(void*), void* arg, int exit_status) {
  cleanup_work = {steps, arg};
  int unused = 0;
  if (run_bounded(run_cleanup_steps, &cleanup_work, kCleanupStallLimitMs,
                  &cleanup_progress, &unused) == BoundedEnd::kTimedOut)
    give_up_cleanup(exit_status);
}

namespace {

void final_steps(void*) {
  close_all(true);
  settle_open_files();
}

}  // namespace

void shadow_final_cleanup(int exit_status) {
  if (!begin_emergency()) park_forever();
  run_bounded_cleanup(final_steps, nullptr, exit_status);
}

void park_forever() {
  for (;;) pause();
}

int shadow_prepare() { return prepare_detach(); }

void shadow_reset_for_test() {
  for (ShadowRow& row : shadow_rows) {
    MutexLock lock(&row.lock);
    std::memset(static_cast<void*>(row.entries), 0, sizeof row.entries);
  }
  for (auto& n : name_state) n.store(kNoName);
  for (auto& b : worker_busy) b.store(0);
  emergency.store(false);
  opens_in_flight.store(0);
}

}  // namespace iochurn
