// Letting go of one slot's file and buffers: the routines behind both the
// worker's pass clean-up and the emergency clean-ups.
#ifndef IOCHURN_GUARD_SLOT_RELEASE_H_
#define IOCHURN_GUARD_SLOT_RELEASE_H_

#include "tempfile/file_slot.h"

namespace iochurn {

enum class ReleaseMode {
  kClose,   // close the descriptor
  kDetach,  // its worker may be inside a transfer on it: point the number
            // at /dev/null with dup2 instead of closing it, so it is never
            // handed to another open and a late write lands nowhere
};

// The worker's pass clean-up of one slot: closes the open file of `slot`
// (nothing when it has no write buffer or no descriptor), then with file
// deletion on deletes it by name (with verbose output and deletion off,
// reminds the user that the file remains). Failures are reported as
// "ERR [close]: <text> for buffer <number>" (or [unlink]), never counted.
// Sets the descriptor to -1. Each call is published as the activity of
// worker `owner` and, with -A and --diagnose, guarded by its watchdog like
// a transfer. The worker `owner`, inside its clean-up step.
void release_slot_file(FileSlot* slot, int number, int owner);

// The two halves, for the emergency clean-ups, which delete first so that
// a close that hangs leaves no name behind. Neither is published or
// watched: those clean-ups bound themselves. The caller holds whatever
// keeps the slot's owner away (the entry lock). Failures are reported as
// above unless `quiet`.
//
// delete_slot_file: with file deletion on, deletes the file by name (with
// verbose output and deletion off, prints the reminder). Nothing when the
// slot has no open file. Returns 0, or the errno of a failed deletion.
int delete_slot_file(const FileSlot* slot, int number, bool quiet);
// close_slot_file: closes or detaches the descriptor and sets it to -1.
// Nothing when the slot has no open file.
void close_slot_file(FileSlot* slot, int number, ReleaseMode mode, bool quiet);

// Keeps the file of slot `number` of worker `thread`, which failed
// verification in pass `pass`, as "<path>.<pass>.failed" instead of
// deleting it, while the run's allowance (--keep-failed) lasts: renames it
// without replacing anything, closes it (a failed close is reported for
// buffer `number`) and prints the new path on standard error. Returns false, having done
// nothing to the file, when the allowance is used up (said once per run)
// or the rename fails (said); the caller then releases the file as usual.
// The caller runs it where it would release the file (the pass clean-up
// step, so rename and clearing the mirror are one step for the emergency
// clean-up).
bool keep_slot_file(FileSlot* slot, int number, int thread, uint32_t pass);

// Resets the allowance of kept files (start-up and tests).
void reset_kept_files();

// Releases the slot's buffers, a shared one once, and clears both pointers.
void release_slot_buffers(FileSlot* slot);

// Reports a failed close or unlink ("ERR [close]: <error text> for buffer
// <number>") with one unbuffered write of at most 128 bytes to standard
// error. Safe to call while other threads print.
void report_cleanup_failure(const char* operation, int error, int number);

// Opens the /dev/null descriptor that kDetach needs, once, before any
// worker runs, so that a full descriptor table cannot stop the clean-up
// later. Returns 0 or an errno value. Main thread.
int prepare_detach();

}  // namespace iochurn

#endif  // IOCHURN_GUARD_SLOT_RELEASE_H_
