// The journal writer: appends under one lock, commits on its own thread.
#include "journal/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/message.h"
#include "platform/mutex.h"
#include "platform/no_destructor.h"
#include "platform/thread.h"

namespace iochurn {

namespace {

// What the journal knows of one file name: its last acknowledgment, as
// long as it is not retired.
struct SlotMark {
  bool acknowledged;
  uint32_t generation;
  uint32_t pass;
  uint64_t length;
};

// The writer's process-wide state. Workers, the emergency clean-up and the
// main thread append and wait under `mutex`; the journal thread takes the
// pending batch under it and writes without it. Nobody blocks while holding
// it, so the emergency clean-up's bounded waits stay bounded. Never
// destroyed: a late worker may still append while the process exits.
struct Writer {
  Mutex mutex;
  CondVar wake;       // the journal thread: a commit is asked for
  CondVar committed;  // waiters: committed_sequence moved or failed
  std::vector<JournalRecord> pending GUARDED_BY(mutex);
  uint64_t next_sequence GUARDED_BY(mutex) = 1;
  uint64_t committed_sequence GUARDED_BY(mutex) = 0;
  bool urgent GUARDED_BY(mutex) = false;
  bool stopping GUARDED_BY(mutex) = false;
  bool failed GUARDED_BY(mutex) = false;
  SlotMark marks[kMaxThreads * kMaxFiles] GUARDED_BY(mutex);
};
NoDestructor<Writer> writer;

// Set by journal_open on the main thread before any worker starts; read by
// every thread after.
std::atomic<bool> enabled{false};
std::atomic<bool> durable{false};
int journal_fd = -1;
uint64_t run_id = 0;
const char* opened_path = nullptr;
ThreadHandle* thread_handle = nullptr;

SlotMark& mark_of(int thread, int slot) REQUIRES(writer->mutex) {
  return writer->marks[thread * kMaxFiles + slot];
}

bool valid_slot(int thread, int slot) {
  return thread >= 0 && thread < kMaxThreads && slot >= 0 && slot < kMaxFiles;
}

uint64_t append(JournalRecord r) REQUIRES(writer->mutex) {
  r.sequence = writer->next_sequence++;
  seal_record(&r, run_id);
  writer->pending.push_back(r);
  return r.sequence;
}

int write_all(const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(journal_fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

int commit_bytes(const uint8_t* data, size_t size) {
  int error = write_all(data, size);
  if (error == 0 && durable.load() && fdatasync(journal_fd) != 0) error = errno;
  return error;
}

// Waits until `sequence` is committed, the journal failed or `timeout_ms`
// passed. True when committed.
bool wait_committed(uint64_t sequence, int64_t timeout_ms) {
  MutexLock lock(&writer->mutex);
  writer->urgent = true;
  writer->wake.notify_one();
  auto done = [sequence]() NO_THREAD_SAFETY_ANALYSIS {
    return writer->committed_sequence >= sequence || writer->failed;
  };
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  writer->committed.wait_until(writer->mutex, deadline, done);
  return writer->committed_sequence >= sequence;
}

void journal_thread(void*) {
  std::vector<JournalRecord> batch;
  batch.reserve(4096);
  for (;;) {
    bool stop;
    {
      MutexLock lock(&writer->mutex);
      auto asked = []() NO_THREAD_SAFETY_ANALYSIS {
        return writer->urgent || writer->stopping;
      };
      writer->wake.wait_for(writer->mutex,
                            std::chrono::milliseconds(kCommitIntervalMs), asked);
      writer->urgent = false;
      stop = writer->stopping;
      if (!writer->failed) batch.swap(writer->pending);
      writer->pending.clear();
    }
    if (!batch.empty()) {
      int error = commit_bytes(reinterpret_cast<const uint8_t*>(batch.data()),
                               batch.size() * sizeof(JournalRecord));
      uint64_t last = batch.back().sequence;
      batch.clear();
      MutexLock lock(&writer->mutex);
      if (error == 0) {
        writer->committed_sequence = last;
      } else if (!writer->failed) {
        writer->failed = true;
        write_long_message(STDERR_FILENO,
                           "iochurn: journal %s: %s; files the journal still "
                           "expects are kept\n",
                           opened_path, std::strerror(error));
      }
      writer->committed.notify_all();
    }
    if (stop) {
      MutexLock lock(&writer->mutex);
      if (writer->pending.empty() || writer->failed) return;
    }
  }
}

}  // namespace

int journal_open(const char* path, JournalHeader header) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    // A regular file starts afresh: an old journal's tail must not follow.
    close(fd);
    fd = -1;
  }
  if (fd < 0) fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || fstat(fd, &st) != 0) {
    int error = errno;
    write_long_message(STDERR_FILENO, "iochurn: cannot open journal %s: %s\n",
                       path, std::strerror(error));
    if (fd >= 0) close(fd);
    return error;
  }
  journal_fd = fd;
  durable.store(S_ISREG(st.st_mode));
  if (durable.load()) header.flags |= kJournalDurable;
  seal_header(&header);
  run_id = header.run_id;
  opened_path = path;
  int error = commit_bytes(reinterpret_cast<const uint8_t*>(&header), sizeof header);
  unsigned long id = 0;
  if (error == 0) error = start_thread(journal_thread, nullptr, &thread_handle, &id);
  if (error != 0) {
    write_long_message(STDERR_FILENO, "iochurn: cannot start journal %s: %s\n",
                       path, std::strerror(error));
    close(fd);
    journal_fd = -1;
    return error;
  }
  enabled.store(true);
  return 0;
}

bool journal_enabled() { return enabled.load(); }
bool journal_durable() { return durable.load(); }
int journal_descriptor() { return journal_fd; }
const char* journal_path() { return opened_path; }

void journal_ack(int thread, int slot, uint32_t generation, uint32_t pass,
                 uint64_t length) {
  if (!enabled.load() || !valid_slot(thread, slot)) return;
  MutexLock lock(&writer->mutex);
  SlotMark& m = mark_of(thread, slot);
  if (m.acknowledged && m.generation == generation && m.pass == pass &&
      m.length >= length)
    return;
  m = {true, generation, pass, length};
  append(make_record(RecordKind::kAck, thread, slot, generation, pass, length));
}

bool journal_holds(int thread, int slot) {
  if (!enabled.load() || !valid_slot(thread, slot)) return false;
  MutexLock lock(&writer->mutex);
  return mark_of(thread, slot).acknowledged;
}

uint64_t journal_retire_async(int thread, int slot) {
  if (!enabled.load() || !valid_slot(thread, slot)) return 0;
  MutexLock lock(&writer->mutex);
  SlotMark& m = mark_of(thread, slot);
  if (!m.acknowledged) return 0;
  // The write stays in the mark, for journal_retire_failed.
  m.acknowledged = false;
  return append(make_record(RecordKind::kRetire, thread, slot, m.generation,
                            m.pass, 0));
}

bool journal_wait_commit(uint64_t sequence, int64_t timeout_ms) {
  return sequence == 0 || wait_committed(sequence, timeout_ms);
}

void journal_retire_failed(int thread, int slot) {
  if (!enabled.load() || !valid_slot(thread, slot)) return;
  MutexLock lock(&writer->mutex);
  mark_of(thread, slot).acknowledged = true;
}

bool journal_retire(int thread, int slot, int64_t timeout_ms) {
  if (journal_wait_commit(journal_retire_async(thread, slot), timeout_ms))
    return true;
  journal_retire_failed(thread, slot);
  return false;
}

bool journal_retire_all(int threads, int64_t timeout_ms) {
  if (!enabled.load()) return true;
  uint64_t last = 0;
  {
    MutexLock lock(&writer->mutex);
    for (int t = 0; t < threads && t < kMaxThreads; ++t)
      for (int j = 0; j < kMaxFiles; ++j) {
        SlotMark& m = mark_of(t, j);
        if (!m.acknowledged) continue;
        m.acknowledged = false;
        last = append(make_record(RecordKind::kRetire, t, j, m.generation,
                                  m.pass, 0));
      }
  }
  return last == 0 || wait_committed(last, timeout_ms);
}

bool journal_emergency(int64_t timeout_ms) {
  if (!enabled.load()) return true;
  uint64_t sequence;
  {
    MutexLock lock(&writer->mutex);
    sequence = append(make_record(RecordKind::kEmergency, 0, 0, 0, 0, 0));
  }
  return wait_committed(sequence, timeout_ms);
}

bool journal_commit(int64_t timeout_ms) {
  if (!enabled.load()) return true;
  uint64_t last;
  {
    MutexLock lock(&writer->mutex);
    last = writer->next_sequence - 1;
  }
  return last == 0 || wait_committed(last, timeout_ms);
}

void journal_close() {
  if (!enabled.load()) return;
  bool committed = journal_commit(kRetireWaitMs);
  {
    MutexLock lock(&writer->mutex);
    writer->stopping = true;
    writer->wake.notify_one();
  }
  // A journal that stopped answering must not hold the end of the run.
  if (committed) {
    join_thread(thread_handle);
    close(journal_fd);
  } else {
    release_thread(thread_handle);
  }
  thread_handle = nullptr;
  enabled.store(false);
}

}  // namespace iochurn
