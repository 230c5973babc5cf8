// Chunked transfers with their sums: the hot path of the program.
#include "worker/transfer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "guard/shadow_table.h"
#include "guard/watchdog.h"
#include "worker/additive_sum.h"

namespace iochurn {

namespace {

// A transfer that moved fewer bytes without an error leaves errno alone;
// name the likely cause instead of whatever errno last held.
int short_transfer_error(int error, bool writing) {
  if (error != 0) return error;
  return writing ? ENOSPC : ENODATA;
}

bool short_of(ssize_t moved, uint64_t wanted) {
  return moved < 0 || static_cast<uint64_t>(moved) < wanted;
}

void put_symbol(char symbol) {
  std::fputc(symbol, stdout);
  std::fflush(stdout);
}

// Seeks the slot's file to its start (inside the worker's gate) and opens
// its line of progress. Returns false after counting and reporting a failed
// seek: the file then takes no part in the phase.
bool begin_file(Worker* w, const FileSlot& s, int j, bool writing) {
  gate_enter(w->index);
  off_t at = lseek(s.descriptor, 0, SEEK_SET);
  int error = errno;
  gate_leave(w->index);
  if (at == -1) {
    w->counters.other_errors++;
    std::fprintf(stderr, "Thread %d: ERR [%s]: %s for file %d\n", w->index,
                 writing ? "seek/w" : "seek/r", std::strerror(error), j);
    return false;
  }
  if (settings.verbose)
    std::printf("Thread %d: %s file %d: ", w->index, writing ? "Write" : "Read",
                j);
  else
    put_symbol(writing ? 'w' : 'r');
  return true;
}

void print_sum(const Worker* w, uint32_t sum, int j) {
  if (settings.verbose)
    std::printf("\nThread %d: Additive sum %lu for file %d\n", w->index,
                static_cast<unsigned long>(sum), j);
}

}  // namespace

Chunk next_chunk(uint64_t remaining, uint32_t buffer_size) {
  if (remaining >= buffer_size) return {buffer_size, '*'};
  return {remaining, '.'};
}

void write_phase(Worker* w) {
  const int t = w->index;
  const bool guarded = settings.alarm_control;
  if (settings.verbose)
    std::printf("Thread %d: Write files from memory buffers.\n", t);
  for (int j = 0; j < used_slots(); ++j) {
    FileSlot& s = w->slots[j];
    if (s.write_buffer == nullptr || s.descriptor == -1) continue;
    if (!begin_file(w, s, j, true)) continue;
    uint32_t sum = 0;
    uint64_t remaining = s.file_size;
    while (remaining != 0) {
      Chunk chunk = next_chunk(remaining, s.buffer_size);
      gate_enter(t);
      // Summed before the bytes are handed over: the comparison covers the
      // whole way through the file system and the device.
      sum += additive_sum(s.write_buffer, chunk.bytes);
      put_symbol(chunk.symbol);
      if (guarded) watchdog_arm(t);
      errno = 0;
      ssize_t written = write(s.descriptor, s.write_buffer, chunk.bytes);
      int error = errno;
      if (written > 0) w->counters.bytes_written += static_cast<uint64_t>(written);
      if (guarded) watchdog_disarm(t);
      gate_leave(t);
      if (short_of(written, chunk.bytes)) {
        w->counters.other_errors++;
        std::fprintf(stderr, "\nThread %d: ERR [write]: %s for buffer %d\n", t,
                     std::strerror(short_transfer_error(error, true)), j);
        break;
      }
      if (w->params.sync_writes) {
        gate_enter(t);
        int rc = fdatasync(s.descriptor);
        error = errno;
        gate_leave(t);
        // A failed flush means the data may never reach the device.
        if (rc != 0) {
          w->counters.other_errors++;
          std::fprintf(stderr, "\nThread %d: ERR [sync]: %s for buffer %d\n",
                       t, std::strerror(error), j);
          break;
        }
      }
      remaining -= chunk.bytes;
    }
    s.write_sum = sum;
    print_sum(w, sum, j);
  }
}

void read_verify_phase(Worker* w) {
  const int t = w->index;
  const bool guarded = settings.alarm_control;
  if (settings.verbose)
    std::printf("Thread %d: Read files to memory buffers.\n", t);
  for (int j = 0; j < used_slots(); ++j) {
    FileSlot& s = w->slots[j];
    if (s.read_buffer == nullptr || s.descriptor == -1) continue;
    if (!begin_file(w, s, j, false)) continue;
    uint32_t sum = 0;
    uint64_t remaining = s.file_size;
    while (remaining != 0) {
      Chunk chunk = next_chunk(remaining, s.buffer_size);
      gate_enter(t);
      put_symbol(chunk.symbol);
      if (guarded) watchdog_arm(t);
      errno = 0;
      ssize_t got = read(s.descriptor, s.read_buffer, chunk.bytes);
      int error = errno;
      if (got > 0) w->counters.bytes_read += static_cast<uint64_t>(got);
      if (guarded) watchdog_disarm(t);
      if (short_of(got, chunk.bytes)) {
        gate_leave(t);
        w->counters.other_errors++;
        std::fprintf(stderr, "\nThread %d: ERR [read]: %s for buffer %d\n", t,
                     std::strerror(short_transfer_error(error, false)), j);
        break;
      }
      sum += additive_sum(s.read_buffer, chunk.bytes);
      gate_leave(t);
      remaining -= chunk.bytes;
    }
    print_sum(w, sum, j);
    if (sum != s.write_sum) {
      w->counters.compare_errors++;
      if (settings.verbose) std::fputs("ERROR on chksum!!!\n", stdout);
      std::fprintf(stderr,
                   "\nThread %d: ERR [chksum]: mismatch additive sums, "
                   "write=%lu, read=%lu\n",
                   t, static_cast<unsigned long>(s.write_sum),
                   static_cast<unsigned long>(sum));
    }
  }
}

}  // namespace iochurn
