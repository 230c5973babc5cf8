// Slots of one worker: set-up, buffers, file creation and clean-up.
#include "worker/slots.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "guard/error_limit.h"
#include "guard/shadow_table.h"
#include "guard/slot_release.h"
#include "guard/watched_call.h"
#include "journal/journal.h"
#include "platform/buffer.h"
#include "platform/message.h"
#include "worker/worker_report.h"

namespace iochurn {

namespace {

// Allocates and fills one buffer of slot j inside the worker's gate; the
// buffer stays null after a failure, which is counted and reported.
void allocate_one(Worker* w, int j, bool read_side) {
  if (error_limit_reached()) return;  // the run is stopping
  gate_enter(w->index);
  uint8_t* buffer = allocate_buffer(buffer_bytes(settings));
  if (buffer == nullptr) {
    int error = errno;
    gate_leave(w->index);
    report_worker_error(w, {Op::kMalloc, j, 0, buffer_bytes(settings), -1, error},
                        "Thread %d: ERR [malloc]: %s for buffer %d\n",
                        w->index, std::strerror(error), j);
    return;
  }
  const char* which = read_side                    ? "read_buffer"
                      : w->params.separate_buffers ? "write_buffer"
                                                   : "read_write_buffer";
  verbose_line("Thread %d: Init %s %d\n", w->index, which, j);
  // Mirrored before the fill, so the emergency clean-up can release it.
  FileSlot& s = w->slots[j];
  if (read_side) {
    s.read_buffer = buffer;
  } else {
    s.write_buffer = buffer;
    if (!w->params.separate_buffers) s.read_buffer = buffer;
  }
  shadow_set_slot(w->index, j, s);
  fill_buffer(buffer, buffer_bytes(settings), j, w->params.random_fill,
              static_cast<unsigned>(std::time(nullptr)) + static_cast<unsigned>(j));
  gate_leave(w->index);
}

// True when the pass's clean-up deletes or renames the slot's file.
bool leaves_at_cleanup(const FileSlot& s) {
  return s.descriptor != -1 &&
         (settings.delete_files || (s.data_failed && settings.keep_failed));
}

// Retires, with one wait, the files of the slots `wanted` picks before they
// are truncated, deleted or renamed. Sets confirmed[j] for every slot whose
// file may go; a slot left false, after one line, keeps its file as it is.
void retire_slots(Worker* w, bool (*wanted)(const FileSlot&), bool* confirmed) {
  uint64_t last = 0;
  for (int j = 0; j < used_slots(); ++j) {
    confirmed[j] = true;
    if (!wanted(w->slots[j])) continue;
    if (w->retire_sequence[j] == 0)
      w->retire_sequence[j] = journal_retire_async(w->index, j);
    if (w->retire_sequence[j] > last) last = w->retire_sequence[j];
  }
  const bool committed = journal_wait_commit(last, kRetireWaitMs);
  for (int j = 0; j < used_slots(); ++j) {
    if (w->retire_sequence[j] == 0) continue;
    w->retire_sequence[j] = 0;
    if (committed) continue;
    confirmed[j] = false;
    journal_retire_failed(w->index, j);
    write_long_message(STDERR_FILENO,
                       "Thread %d: the journal did not confirm the retirement "
                       "of %s in %d s; the file is left as it is\n",
                       w->index, w->slots[j].path,
                       static_cast<int>(kRetireWaitMs / 1000));
  }
}

// Makes the names of the pass's new files durable: one fsync of their
// directory, counted and timed like the file flushes.
void flush_directory(Worker* w, const char* dir) {
  w->names_durable = false;
  int rc, error = 0;
  {
    GateHold hold(w->index);
    WatchedCall call(w->index, Op::kSync, -1, 0, 0, w->pass,
                     settings.alarm_control && settings.diagnose);
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    rc = fd < 0 ? -1 : fsync(fd);
    if (rc != 0) error = errno;
    if (fd >= 0) close(fd);
    call.result = rc;
  }
  if (rc == 0) {
    w->names_durable = true;
    return;
  }
  report_worker_error(w, {Op::kSync, -1, 0, 0, -1, error},
                      "Thread %d: ERR [sync]: %s for directory %s\n", w->index,
                      std::strerror(error), dir);
}

}  // namespace

void setup_slots(Worker* w) {
  std::memset(static_cast<void*>(w->slots), 0, sizeof w->slots);
  for (int j = 0; j < used_slots(); ++j) {
    FileSlot& s = w->slots[j];
    s.buffer_size = buffer_bytes(settings);
    s.file_size = file_bytes(settings);
    s.descriptor = -1;
    s.write_sum = kNoSum;
    shadow_set_slot(w->index, j, s);
  }
}

void allocate_buffers(Worker* w) {
  for (int j = 0; j < used_slots(); ++j) allocate_one(w, j, false);
  if (!w->params.separate_buffers) return;
  for (int j = 0; j < used_slots(); ++j) allocate_one(w, j, true);
}

void create_files(Worker* w) {
  verbose_line("Thread %d: Create files. %u files, each size = %u Mbytes\n",
               w->index, static_cast<unsigned>(settings.filecount),
               settings.filesize);
  const char* dir = effective_workdir(settings);
  for (int j = 0; j < used_slots(); ++j)
    build_temp_path(w->slots[j].path, sizeof w->slots[j].path, dir, w->pid,
                    w->index, j);
  // The opens truncate what the journal may still expect (-z).
  bool may_open[kMaxFiles];
  retire_slots(w, [](const FileSlot& s) { return s.write_buffer != nullptr; },
               may_open);
  for (int j = 0; j < used_slots(); ++j) {
    if (error_limit_reached()) break;  // the run is stopping
    FileSlot& s = w->slots[j];
    if (s.write_buffer == nullptr || !may_open[j]) continue;
    int error;
    {
      GateHold hold(w->index);
      shadow_set_slot(w->index, j, s);
      open_begin();
      {
        WatchedCall call(w->index, Op::kOpen, j, 0, 0, w->pass,
                         settings.alarm_control && settings.diagnose);
        s.descriptor = open(s.path, w->params.open_flags,
                            static_cast<mode_t>(w->params.open_mode));
        error = errno;
        call.result = s.descriptor;
      }
      shadow_set_descriptor(w->index, j, s.descriptor);
      open_end();
    }
    if (s.descriptor == -1)
      report_worker_error(w, {Op::kOpen, j, 0, 0, -1, error},
                          "Thread %d: ERR [open]: %s for file %s\n", w->index,
                          std::strerror(error), s.path);
  }
  if (journal_enabled()) flush_directory(w, dir);
}

void retire_early(Worker* w, int j) {
  if (journal_enabled() && leaves_at_cleanup(w->slots[j]))
    w->retire_sequence[j] = journal_retire_async(w->index, j);
}

void close_files(Worker* w) {
  bool may_go[kMaxFiles];
  retire_slots(w, leaves_at_cleanup, may_go);
  for (int j = 0; j < used_slots(); ++j) {
    FileSlot& s = w->slots[j];
    if (!may_go[j]) {
      close_slot_file(&s, j, ReleaseMode::kClose, false);
      continue;
    }
    // The evidence of a failed verification outlives the pass if asked.
    if (s.data_failed && settings.keep_failed &&
        keep_slot_file(&s, j, w->index, w->pass))
      continue;
    release_slot_file(&s, j, w->index);
  }
}

void free_buffers(Worker* w) {
  for (int j = 0; j < used_slots(); ++j) release_slot_buffers(&w->slots[j]);
}

void fill_buffer(uint8_t* buffer, size_t bytes, int slot, bool random_fill,
                 unsigned seed) {
  if (random_fill)
    fill_random(buffer, bytes, seed);
  else
    std::memset(buffer, slot & 0xFF, bytes);
}

void fill_random(uint8_t* buffer, size_t bytes, unsigned seed) {
  // The C library's default generator: an additive feedback generator over
  // 31 words, seeded through a Lehmer sequence and warmed up by 310 draws.
  constexpr int kDegree = 31, kSeparation = 3;
  int32_t state[kDegree];
  int32_t word = static_cast<int32_t>(seed == 0 ? 1 : seed);
  state[0] = word;
  for (int i = 1; i < kDegree; ++i) {
    long hi = word / 127773;
    long lo = word % 127773;
    word = static_cast<int32_t>(16807 * lo - 2836 * hi);
    if (word < 0) word += 2147483647;
    state[i] = word;
  }
  int front = kSeparation, rear = 0;
  auto next = [&]() -> uint32_t {
    uint32_t value = static_cast<uint32_t>(state[front]) +
                     static_cast<uint32_t>(state[rear]);
    state[front] = static_cast<int32_t>(value);
    if (++front == kDegree) front = 0;
    if (++rear == kDegree) rear = 0;
    return value >> 1;
  };
  for (int i = 0; i < kDegree * 10; ++i) next();
  for (size_t i = 0; i < bytes; ++i) buffer[i] = static_cast<uint8_t>(next());
}

}  // namespace iochurn
