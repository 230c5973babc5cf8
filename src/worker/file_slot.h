// A worker's temporary files: slots, buffers, names, creation and clean-up.
#ifndef IOCHURN_WORKER_FILE_SLOT_H_
#define IOCHURN_WORKER_FILE_SLOT_H_

#include <cstddef>
#include <cstdint>

#include "config/run_settings.h"

namespace iochurn {

constexpr uint32_t kNoSum = 0xFFFFFFFF;
constexpr int kMessageBufferSize = 128;

// One temporary file with its buffers. A zero record has no buffers,
// descriptor 0 and an empty path, and refers to no file.
struct FileSlot {
  uint32_t buffer_size;  // bytes
  uint64_t file_size;    // bytes
  uint8_t* read_buffer;
  uint8_t* write_buffer;  // equal to read_buffer unless separate buffers
  int32_t descriptor;     // -1: no open file
  char path[kPathSize];
  uint32_t write_sum;
};

struct WorkerCounters {
  uint64_t bytes_read;
  uint64_t bytes_written;
  uint32_t compare_errors;
  uint32_t other_errors;
};

// Everything one worker owns while it runs. Only its own thread touches it;
// the shadow table mirrors the slots for the emergency clean-up.
struct Worker {
  ThreadParams params;
  int32_t index;
  int32_t pid;
  FileSlot slots[kMaxFiles];
  WorkerCounters counters;
};

// Number of slots in use: filecount, or none when it is below 1.
inline int used_slots() {
  return settings.filecount > 0 ? settings.filecount : 0;
}

// Clears all 100 slots and sets up the first `filecount` for a new pass.
void setup_slots(Worker* w);

// Allocates and fills the buffers of the used slots, counting and reporting
// each allocation that fails.
void allocate_buffers(Worker* w);

// Opens a temporary file for every used slot that has a write buffer,
// counting and reporting each open that fails.
void create_files(Worker* w);

// Closes (and with file deletion on, deletes) every open file of the slots.
// Failures are reported with one write each and not counted.
void close_files(Worker* w);

// Reports a failed close or unlink ("ERR [close]: <error text> for buffer
// <number>") with one unbuffered write of at most 128 bytes to standard
// error. Safe to call while other threads print.
void report_cleanup_failure(const char* operation, int error, int number);

// Releases every buffer of the used slots, a shared buffer once.
void free_buffers(Worker* w);

// Formats "<dir>/<pid>_<thread>_<slot>.DUMMY" into `out`. Returns false when
// it does not fit `size` bytes (the run refuses such directories up front).
bool build_temp_path(char* out, size_t size, const char* dir, int pid,
                     int thread_index, int slot);

// Fills `bytes` of `buffer`: every byte the low eight bits of `slot`, or with
// `random_fill` the sequence that srand(seed) and one rand() per byte give.
void fill_buffer(uint8_t* buffer, size_t bytes, int slot, bool random_fill,
                 unsigned seed);

// Writes the sequence of srand(seed) + rand() per byte into `buffer`,
// from a generator of the caller's own, so fills on many threads at once
// never contend for the process-wide generator.
void fill_random(uint8_t* buffer, size_t bytes, unsigned seed);

}  // namespace iochurn

#endif  // IOCHURN_WORKER_FILE_SLOT_H_
