// Release of one slot's file and buffers.
#include "guard/slot_release.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "guard/watched_call.h"
#include "ledger/run_record.h"
#include "platform/buffer.h"
#include "platform/message.h"

namespace iochurn {

namespace {

// Opened once by prepare_detach on the main thread before any worker runs;
// read by whoever detaches a descriptor afterwards.
int dev_null = -1;

// Files kept so far; claimed one at a time by the workers that keep one.
std::atomic<int32_t> kept_files{0};
std::atomic<bool> allowance_told{false};

}  // namespace

void report_cleanup_failure(const char* operation, int error, int number) {
  write_message(STDERR_FILENO, "ERR [%s]: %s for buffer %d\n", operation,
                std::strerror(error), number);
}

namespace {

// The clean-up calls, like opens and flushes, are timed by the watchdog
// only for the hang diagnosis.
bool cleanup_watched() { return settings.alarm_control && settings.diagnose; }

bool has_open_file(const FileSlot* slot) {
  return slot->write_buffer != nullptr && slot->descriptor != -1;
}

void remind_kept(bool quiet) {
  if (settings.verbose && !quiet)
    std::fputs("Remain temporary files. Remove them manually.\n", stdout);
}

// The two calls themselves, on a slot with an open file. Each returns 0 or
// the errno of its failure and reports nothing, so that a report never
// counts against a watched call.
int close_descriptor(FileSlot* slot, ReleaseMode mode) {
  int error = 0;
  if (mode == ReleaseMode::kDetach) {
    if (dev_null >= 0) dup2(dev_null, slot->descriptor);
  } else if (close(slot->descriptor) != 0) {
    error = errno;
  }
  slot->descriptor = -1;
  return error;
}

int delete_name(const FileSlot* slot) {
  return unlink(slot->path) == 0 ? 0 : errno;
}

}  // namespace

void release_slot_file(FileSlot* slot, int number, int owner) {
  if (!has_open_file(slot)) return;
  int error;
  {
    WatchedCall call(owner, Op::kClose, number, 0, 0, 0, cleanup_watched());
    error = close_descriptor(slot, ReleaseMode::kClose);
  }
  if (error != 0) {
    // Reported as the clean-up always was, and kept for the run's report.
    report_cleanup_failure("close", error, number);
    record_error(owner, Op::kClose, number, slot->path, 0, 0, -1, error);
  }
  if (!settings.delete_files) {
    remind_kept(false);
    return;
  }
  {
    WatchedCall call(owner, Op::kUnlink, number, 0, 0, 0, cleanup_watched());
    error = delete_name(slot);
  }
  if (error != 0) {
    report_cleanup_failure("unlink", error, number);
    record_error(owner, Op::kUnlink, number, slot->path, 0, 0, -1, error);
  }
}

int delete_slot_file(const FileSlot* slot, int number, bool quiet) {
  if (!has_open_file(slot)) return 0;
  if (!settings.delete_files) {
    remind_kept(quiet);
    return 0;
  }
  int error = delete_name(slot);
  if (error != 0 && !quiet) report_cleanup_failure("unlink", error, number);
  return error;
}

void close_slot_file(FileSlot* slot, int number, ReleaseMode mode,
                     bool quiet) {
  if (!has_open_file(slot)) return;
  int error = close_descriptor(slot, mode);
  if (error != 0 && !quiet) report_cleanup_failure("close", error, number);
}

bool keep_slot_file(FileSlot* slot, int number, int thread, uint32_t pass) {
  if (slot->write_buffer == nullptr || slot->descriptor == -1) return false;
  if (kept_files.fetch_add(1) >= settings.keep_failed_max) {
    kept_files.fetch_sub(1);
    if (!allowance_told.exchange(true))
      write_long_message(STDERR_FILENO,
                         "Thread %d: %d failed files kept; further failed "
                         "files are deleted\n",
                         thread, settings.keep_failed_max);
    return false;
  }
  char kept[kPathSize + 32];
  std::snprintf(kept, sizeof kept, "%s.%u.failed", slot->path, pass);
  // Never over earlier evidence.
  if (renameat2(AT_FDCWD, slot->path, AT_FDCWD, kept, RENAME_NOREPLACE) != 0) {
    int error = errno;
    kept_files.fetch_sub(1);
    write_long_message(STDERR_FILENO, "Thread %d: cannot keep %s as %s: %s\n",
                       thread, slot->path, kept, std::strerror(error));
    return false;
  }
  if (close(slot->descriptor) != 0)
    report_cleanup_failure("close", errno, number);
  slot->descriptor = -1;
  write_long_message(STDERR_FILENO, "Thread %d: failed file kept as %s\n",
                     thread, kept);
  return true;
}

void reset_kept_files() {
  kept_files.store(0);
  allowance_told.store(false);
}

void release_slot_buffers(FileSlot* slot) {
  if (slot->read_buffer != nullptr && slot->read_buffer != slot->write_buffer)
    release_buffer(slot->read_buffer);
  release_buffer(slot->write_buffer);
  slot->read_buffer = nullptr;
  slot->write_buffer = nullptr;
}

int prepare_detach() {
  if (dev_null >= 0) return 0;
  dev_null = open("/dev/null", O_RDWR | O_CLOEXEC);
  return dev_null >= 0 ? 0 : errno;
}

}  // namespace iochurn
