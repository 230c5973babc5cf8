// The write phase and the read-and-verify phase of a pass.
#ifndef IOCHURN_WORKER_TRANSFER_H_
#define IOCHURN_WORKER_TRANSFER_H_

#include <cstdint>

#include "worker/slots.h"

namespace iochurn {

// Size and progress symbol of the next chunk for `remaining` bytes left.
struct Chunk {
  uint64_t bytes;
  char symbol;  // '*' for a whole buffer, '.' for a shorter rest
};
Chunk next_chunk(uint64_t remaining, uint32_t buffer_size);

// Writes every open file of the worker from its write buffer, chunk by
// chunk, and records each file's additive sum (with block verification,
// stamps every block first). Failures are counted in the worker's record
// and reported; the phase goes on with the next slot.
void write_phase(Worker* w);

// Reads every open file back into its read buffer, sums it and compares the
// sum with the one recorded by the write phase (with block verification,
// checks every block and names each bad one).
void read_verify_phase(Worker* w);

}  // namespace iochurn

#endif  // IOCHURN_WORKER_TRANSFER_H_
