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
#include "platform/buffer.h"
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
  for (int j = 0; j < used_slots(); ++j) {
    if (error_limit_reached()) break;  // the run is stopping
    FileSlot& s = w->slots[j];
    if (s.write_buffer == nullptr) continue;
    build_temp_path(s.path, sizeof s.path, dir, w->pid, w->index, j);
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
}

void close_files(Worker* w) {
  for (int j = 0; j < used_slots(); ++j) {
    FileSlot& s = w->slots[j];
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
