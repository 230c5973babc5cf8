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
#include "guard/shadow_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "guard/slot_release.h"
#include "platform/sleep.h"

namespace iochurn {

FileSlot shadow_table[kShadowEntries];

namespace {

// Must stay usable while exit() runs static destructors.
static_assert(std::is_trivially_destructible_v<std::mutex>);
static_assert(std::atomic<bool>::is_always_lock_free);

std::mutex entry_locks[kMaxThreads];
std::atomic<int> worker_busy[kMaxThreads];
std::atomic<bool> emergency{false};
std::atomic<int> opens_in_flight{0};
bool seen_busy[kMaxThreads];  // written and read by the one clean-up only

int mirrored_workers() { return settings.threads > 0 ? settings.threads : 0; }

void close_all(bool quiet) {
  int filecount = settings.filecount;
  if (!settings.shadow_enabled || filecount < 1) return;
  for (int t = 0; t < mirrored_workers(); ++t) {
    std::lock_guard<std::mutex> lock(entry_locks[t]);
    seen_busy[t] = worker_busy[t].load() != 0;
    for (int j = 0; j < filecount; ++j) {
      int i = shadow_index(t, j, filecount);
      release_slot_file(&shadow_table[i], i,
                        seen_busy[t] ? ReleaseMode::kDetach : ReleaseMode::kClose,
                        quiet);
    }
  }
}

}  // namespace

int shadow_index(int thread_index, int slot, int filecount) {
  return thread_index * filecount + slot;
}

void shadow_set_slot(int t, int j, const FileSlot& value) {
  if (!settings.shadow_enabled) return;
  std::lock_guard<std::mutex> lock(entry_locks[t]);
  shadow_table[shadow_index(t, j, settings.filecount)] = value;
}

void shadow_set_write_buffer(int t, int j, uint8_t* buffer) {
  if (!settings.shadow_enabled) return;
  std::lock_guard<std::mutex> lock(entry_locks[t]);
  shadow_table[shadow_index(t, j, settings.filecount)].write_buffer = buffer;
}

void shadow_set_read_buffer(int t, int j, uint8_t* buffer) {
  if (!settings.shadow_enabled) return;
  std::lock_guard<std::mutex> lock(entry_locks[t]);
  shadow_table[shadow_index(t, j, settings.filecount)].read_buffer = buffer;
}

void shadow_set_path(int t, int j, const char* path) {
  if (!settings.shadow_enabled) return;
  std::lock_guard<std::mutex> lock(entry_locks[t]);
  FileSlot& e = shadow_table[shadow_index(t, j, settings.filecount)];
  std::strncpy(e.path, path, kPathSize - 1);
  e.path[kPathSize - 1] = '\0';
}

void shadow_set_descriptor(int t, int j, int descriptor) {
  std::unique_lock<std::mutex> lock(entry_locks[t]);
  if (emergency.load()) {
    // The clean-up may have passed this entry before the open returned.
    if (descriptor >= 0) {
      close(descriptor);
      FileSlot& e = shadow_table[shadow_index(t, j, settings.filecount)];
      if (settings.delete_files) unlink(e.path);
    }
    lock.unlock();
    open_end();
    worker_busy[t].store(0);
    park_forever();
  }
  if (settings.shadow_enabled)
    shadow_table[shadow_index(t, j, settings.filecount)].descriptor =
        descriptor;
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
  std::unique_lock<std::mutex> lock(entry_locks[t]);
  if (emergency.load()) {
    lock.unlock();
    park_forever();
  }
  step(arg);
  int filecount = settings.filecount;
  if (settings.shadow_enabled && filecount > 0)
    std::memset(&shadow_table[shadow_index(t, 0, filecount)], 0,
                sizeof(FileSlot) * static_cast<size_t>(filecount));
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
    std::lock_guard<std::mutex> lock(entry_locks[t]);
    if (seen_busy[t] || worker_busy[t].load() != 0) continue;
    for (int j = 0; j < filecount; ++j) {
      release_slot_buffers(&shadow_table[shadow_index(t, j, filecount)]);
    }
  }
}

void settle_open_files() {
  for (int i = 0; i < 1000 && opens_in_flight.load() > 0; ++i)
    micro_sleep(0, 1000);
}

void shadow_final_cleanup() {
  if (!begin_emergency()) park_forever();
  close_all(true);
  settle_open_files();
}

void park_forever() {
  for (;;) pause();
}

int shadow_prepare() { return prepare_detach(); }

void shadow_reset_for_test() {
  std::memset(static_cast<void*>(shadow_table), 0, sizeof shadow_table);
  for (auto& b : worker_busy) b.store(0);
  emergency.store(false);
  opens_in_flight.store(0);
}

}  // namespace iochurn
