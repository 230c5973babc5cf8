// A worker's temporary files: slots, buffers, names, creation and clean-up.
#ifndef IOCHURN_WORKER_SLOTS_H_
#define IOCHURN_WORKER_SLOTS_H_

#include <cstddef>
#include <cstdint>

#include "config/run_settings.h"
#include "ledger/summary.h"
#include "tempfile/file_slot.h"
#include "tempfile/temp_name.h"

namespace iochurn {

// Everything one worker owns while it runs. Only its own thread touches it;
// the shadow table mirrors the slots for the emergency clean-up.
struct Worker {
  ThreadParams params;
  int32_t index;
  int32_t pid;
  uint32_t generation;  // runs of this index so far, this one included
  uint32_t pass;        // the pass in progress, from 1
  FileSlot slots[kMaxFiles];
  Totals counted_before;  // its record's counts when this run began
};

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

// Releases every buffer of the used slots, a shared buffer once.
void free_buffers(Worker* w);

// Fills `bytes` of `buffer`: every byte the low eight bits of `slot`, or with
// `random_fill` the sequence that srand(seed) and one rand() per byte give.
void fill_buffer(uint8_t* buffer, size_t bytes, int slot, bool random_fill,
                 unsigned seed);

// Writes the sequence of srand(seed) + rand() per byte into `buffer`,
// from a generator of the caller's own, so fills on many threads at once
// never contend for the process-wide generator.
void fill_random(uint8_t* buffer, size_t bytes, unsigned seed);

}  // namespace iochurn

#endif  // IOCHURN_WORKER_SLOTS_H_
