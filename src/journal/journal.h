// The run's journal of durable writes: what the storage acknowledged, kept
// on other storage so that a check after a power cut can read everything
// back against it. Workers append records; one journal thread commits them
// in batches every few milliseconds, and at once when a retirement asks.
#ifndef IOCHURN_JOURNAL_JOURNAL_H_
#define IOCHURN_JOURNAL_JOURNAL_H_

#include <cstdint>

#include "journal/journal_format.h"

namespace iochurn {

// How long a retirement may wait for its commit before the file is kept.
constexpr int64_t kRetireWaitMs = 3000;
// How long the emergency clean-up waits for its record.
constexpr int64_t kEmergencyWaitMs = 1000;
// The journal thread's commit interval.
constexpr int64_t kCommitIntervalMs = 5;

// Opens `path` for writing (a regular file is created or truncated; a
// pipe, FIFO or socket is written as it is), writes and commits `header`
// (its flags gain kJournalDurable for a regular file, then it is sealed)
// and starts the journal thread. Returns 0, or an errno value after one
// line on standard error. Main thread, before any worker starts.
int journal_open(const char* path, JournalHeader header);

// True once journal_open succeeded. Any thread.
bool journal_enabled();

// True when commits are made durable (a regular file). Any thread.
bool journal_durable();

// The descriptor of the open journal, -1 when none (for the same-device
// warning). Main thread.
int journal_descriptor();

// Records that bytes [0, length) of the file of (thread, slot), written in
// (generation, pass), are acknowledged durable. Never waits for a commit.
// The worker owning `thread`, after the flush that covered them returned.
void journal_ack(int thread, int slot, uint32_t generation, uint32_t pass,
                 uint64_t length);

// True when the file of (thread, slot) holds an acknowledged write that is
// not retired. The owning worker, or the main thread once workers ended.
bool journal_holds(int thread, int slot);

// Retires the file of (thread, slot) before it is deleted, truncated or
// renamed: appends the record and waits up to `timeout_ms` for its commit.
// Returns true when it is committed or nothing was acknowledged; false
// when the wait ran out or the journal failed (the file must then be left
// alone). The owning worker; the main thread for files of ended workers.
bool journal_retire(int thread, int slot, int64_t timeout_ms);

// The two halves of journal_retire, so that a worker can retire many files
// with one wait and start the commit early. journal_retire_async appends
// the retirement without waiting and returns its sequence number (0 when
// nothing was acknowledged, or already retired). journal_wait_commit waits
// up to `timeout_ms` until `sequence` (0: nothing) is committed and returns
// true when it is. After a failed wait, journal_retire_failed marks the
// file as holding its acknowledged write again (unless a newer one came),
// so that a later retirement is asked again. The owning worker.
uint64_t journal_retire_async(int thread, int slot);
bool journal_wait_commit(uint64_t sequence, int64_t timeout_ms);
void journal_retire_failed(int thread, int slot);

// Retires every acknowledged file of every worker below `threads` and
// waits for the commit as journal_retire does. Main thread, before the
// final clean-up deletes what workers left.
bool journal_retire_all(int threads, int64_t timeout_ms);

// Appends the emergency record and waits at most `timeout_ms` for it; never
// blocks longer, even with a worker holding the journal. Returns true when
// committed. The emergency clean-up.
bool journal_emergency(int64_t timeout_ms);

// Commits everything appended so far, waiting at most `timeout_ms`.
// Returns true when committed. Any thread.
bool journal_commit(int64_t timeout_ms);

// Commits what is left, stops the journal thread and closes the journal.
// Main thread, at the end of the run.
void journal_close();

// The path given to journal_open, or nullptr. Any thread.
const char* journal_path();

}  // namespace iochurn

#endif  // IOCHURN_JOURNAL_JOURNAL_H_
