// The record of one temporary file and its buffers. The worker owns its
// slots; the shadow table keeps a mirror of them for the emergency clean-up.
#ifndef IOCHURN_TEMPFILE_FILE_SLOT_H_
#define IOCHURN_TEMPFILE_FILE_SLOT_H_

#include <cstdint>

#include "config/run_settings.h"

namespace iochurn {

constexpr uint32_t kNoSum = 0xFFFFFFFF;

// A zero record has no buffers, descriptor 0 and an empty path, and refers
// to no file.
struct FileSlot {
  uint32_t buffer_size;  // bytes
  uint64_t file_size;    // bytes
  uint8_t* read_buffer;
  uint8_t* write_buffer;  // equal to read_buffer unless separate buffers
  int32_t descriptor;     // -1: no open file
  char path[kPathSize];
  uint32_t write_sum;
  uint64_t written;      // bytes of the file this pass's write phase stored
  bool transfer_failed;  // a write, flush or read of this pass stopped early
  bool data_failed;      // what came back differs from what was written
};

}  // namespace iochurn

#endif  // IOCHURN_TEMPFILE_FILE_SLOT_H_
