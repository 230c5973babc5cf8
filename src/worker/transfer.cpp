// Chunked transfers with their sums: the hot path of the program.
#include "worker/transfer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "guard/error_limit.h"
#include "guard/shadow_table.h"
#include "guard/watchdog.h"
#include "verify/additive_sum.h"
#include "verify/block_tag.h"
#include "worker/worker_report.h"

namespace iochurn {

namespace {

// One read or write of a chunk as the watchdog and the run record see it:
// published, armed, called, disarmed, recorded. Returns what the call
// returned and leaves its errno (0 when it set none) in `*error`.
ssize_t guarded_transfer(Worker* w, Op op, const FileSlot& s, int j,
                         uint8_t* buffer, uint64_t bytes, uint64_t offset,
                         int* error) {
  const bool watched = settings.alarm_control;
  uint64_t start = activity_begin(w->index, op, j, offset, bytes);
  if (watched) watchdog_arm(w->index);
  errno = 0;
  ssize_t moved = op == Op::kWrite ? write(s.descriptor, buffer, bytes)
                                   : read(s.descriptor, buffer, bytes);
  *error = errno;
  if (watched) watchdog_disarm(w->index);
  activity_end(w->index, op, start, moved, w->pass);
  if (moved > 0) {
    auto n = static_cast<uint64_t>(moved);
    if (op == Op::kWrite)
      w->counters.bytes_written += n;
    else
      w->counters.bytes_read += n;
  }
  return moved;
}

// A transfer that moved fewer bytes without an error leaves errno alone;
// name the likely cause instead of whatever errno last held.
int short_transfer_error(int error, bool writing) {
  if (error != 0) return error;
  return writing ? ENOSPC : ENODATA;
}

bool short_of(ssize_t moved, uint64_t wanted) {
  return moved < 0 || static_cast<uint64_t>(moved) < wanted;
}

void report_short_transfer(Worker* w, Op op, int j, uint64_t offset,
                           uint64_t asked, ssize_t moved, int error) {
  bool writing = op == Op::kWrite;
  int cause = short_transfer_error(error, writing);
  report_worker_error(w, {op, j, offset, asked, moved, cause},
                      "\nThread %d: ERR [%s]: %s for buffer %d\n", w->index,
                      writing ? "write" : "read", std::strerror(cause), j);
}

// Flushes the file after a write (-y). A failed flush means the data may
// never reach the device: false after counting and reporting it.
bool flush_file(Worker* w, const FileSlot& s, int j, uint64_t offset) {
  int rc, error;
  {
    GateHold hold(w->index);
    const bool watched = settings.alarm_control && settings.diagnose;
    uint64_t start = activity_begin(w->index, Op::kSync, j, offset, 0);
    if (watched) watchdog_arm(w->index);
    rc = fdatasync(s.descriptor);
    error = errno;
    if (watched) watchdog_disarm(w->index);
    activity_end(w->index, Op::kSync, start, rc, w->pass);
  }
  if (rc == 0) return true;
  report_worker_error(w, {Op::kSync, j, offset, 0, -1, error},
                      "\nThread %d: ERR [sync]: %s for buffer %d\n", w->index,
                      std::strerror(error), j);
  return false;
}

// Seeks the slot's file to its start (inside the worker's gate) and opens
// its line of progress. Returns false after counting and reporting a failed
// seek: the file then takes no part in the phase.
bool begin_file(Worker* w, const FileSlot& s, int j, bool writing) {
  // Past --max-errors the phase ends here instead of at its last file.
  if (error_limit_reached()) return false;
  off_t at;
  int error;
  {
    GateHold hold(w->index);
    at = lseek(s.descriptor, 0, SEEK_SET);
    error = errno;
  }
  if (at == -1) {
    const char* op_text = writing ? "seek/w" : "seek/r";
    report_worker_error(w, {writing ? Op::kSeekW : Op::kSeekR, j, 0, 0, -1, error},
                        "Thread %d: ERR [%s]: %s for file %d\n", w->index,
                        op_text, std::strerror(error), j);
    return false;
  }
  if (settings.verbose)
    verbose_line("Thread %d: %s file %d: ", w->index,
                 writing ? "Write" : "Read", j);
  else
    put_symbol(writing ? 'w' : 'r');
  return true;
}

void print_sum(const Worker* w, uint32_t sum, int j) {
  verbose_line("\nThread %d: Additive sum %lu for file %d\n", w->index,
               static_cast<unsigned long>(sum), j);
}

BlockIdentity identity_of(const Worker* w, int j) {
  return {block_run_id,
          static_cast<uint32_t>(w->pid),
          static_cast<uint32_t>(w->index),
          w->generation,
          static_cast<uint32_t>(j),
          w->pass};
}

void report_bad_blocks(Worker* w, int j, const BadBlocks& bad) {
  const FileSlot& s = w->slots[j];
  uint32_t named = bad.count < kNamedBadBlocks ? bad.count : kNamedBadBlocks;
  for (uint32_t i = 0; i < named; ++i) {
    const BlockFinding& f = bad.named[i];
    char found[192];
    describe_finding(f, found, sizeof found);
    report_worker_error(
        w, {Op::kVerify, j, f.offset, settings.verify_block, 0, 0},
        "\nThread %d: ERR [verify]: %s block at offset %llu of %s%s\n",
        w->index, block_kind_name(f.kind),
        static_cast<unsigned long long>(f.offset), s.path, found);
  }
  for (int k = 0; k < kBlockKindCount; ++k)
    for (uint32_t i = 0; i < bad.by_kind[k]; ++i)
      record_bad_block(w->index, static_cast<BlockKind>(k));
  if (bad.count > named)
    std::fprintf(stderr, "\nThread %d: ERR [verify]: %u more bad blocks in %s\n",
                 w->index, bad.count - named, s.path);
}

// Judges one file once it has been read: the sum, the blocks, the counts.
void judge_file(Worker* w, int j, uint32_t sum, bool read_complete,
                const BadBlocks& bad) {
  FileSlot& s = w->slots[j];
  bool complete = read_complete && !s.transfer_failed;
  // With blocks, a file that could not be written or read whole is not
  // compared: its failure is already counted as the other error it is.
  if (settings.verify_mode == VerifyMode::kBlocks && !complete) return;
  bool sum_differs = sum != s.write_sum;
  if (bad.count > 0) report_bad_blocks(w, j, bad);
  if (sum_differs) {
    verbose_line("ERROR on chksum!!!\n");
    report_worker_error(w, {Op::kChksum, j, 0, s.file_size, 0, 0},
                        "\nThread %d: ERR [chksum]: mismatch additive sums, "
                        "write=%lu, read=%lu\n",
                        w->index, static_cast<unsigned long>(s.write_sum),
                        static_cast<unsigned long>(sum));
  }
  if (!sum_differs && bad.count == 0) return;
  count_compare_error(w);
  if (complete) {
    s.data_failed = true;
    record_file_different(w->index);
  }
}

}  // namespace

Chunk next_chunk(uint64_t remaining, uint32_t buffer_size) {
  if (remaining >= buffer_size) return {buffer_size, '*'};
  return {remaining, '.'};
}

void write_phase(Worker* w) {
  const bool blocks = settings.verify_mode == VerifyMode::kBlocks;
  verbose_line("Thread %d: Write files from memory buffers.\n", w->index);
  for (int j = 0; j < used_slots(); ++j) {
    FileSlot& s = w->slots[j];
    if (s.write_buffer == nullptr || s.descriptor == -1) continue;
    if (!begin_file(w, s, j, true)) continue;
    const BlockIdentity id = identity_of(w, j);
    uint32_t sum = 0;
    uint64_t offset = 0;
    while (offset < s.file_size) {
      Chunk chunk = next_chunk(s.file_size - offset, s.buffer_size);
      ssize_t written;
      int error;
      {
        GateHold hold(w->index);
        // Summed before the bytes are handed over: the comparison covers
        // the whole way through the file system and the device.
        if (blocks)
          sum += stamp_blocks(s.write_buffer, chunk.bytes, offset,
                              settings.verify_block, id);
        else
          sum += additive_sum(s.write_buffer, chunk.bytes);
        put_symbol(chunk.symbol);
        written = guarded_transfer(w, Op::kWrite, s, j, s.write_buffer,
                                   chunk.bytes, offset, &error);
      }
      if (short_of(written, chunk.bytes)) {
        report_short_transfer(w, Op::kWrite, j, offset, chunk.bytes, written,
                              error);
        s.transfer_failed = true;
        break;
      }
      if (w->params.sync_writes && !flush_file(w, s, j, offset)) {
        s.transfer_failed = true;
        break;
      }
      offset += chunk.bytes;
    }
    s.write_sum = sum;
    print_sum(w, sum, j);
  }
}

void read_verify_phase(Worker* w) {
  const bool blocks = settings.verify_mode == VerifyMode::kBlocks;
  verbose_line("Thread %d: Read files to memory buffers.\n", w->index);
  for (int j = 0; j < used_slots(); ++j) {
    FileSlot& s = w->slots[j];
    if (s.read_buffer == nullptr || s.descriptor == -1) continue;
    if (!begin_file(w, s, j, false)) continue;
    const BlockIdentity id = identity_of(w, j);
    BadBlocks bad{};
    bool complete = true;
    uint32_t sum = 0;
    uint64_t offset = 0;
    while (offset < s.file_size) {
      Chunk chunk = next_chunk(s.file_size - offset, s.buffer_size);
      ssize_t got;
      int error;
      {
        GateHold hold(w->index);
        // Bytes a read reports but never delivers keep the poison.
        if (blocks)
          poison_blocks(s.read_buffer, chunk.bytes, settings.verify_block);
        put_symbol(chunk.symbol);
        got = guarded_transfer(w, Op::kRead, s, j, s.read_buffer, chunk.bytes,
                               offset, &error);
        if (!short_of(got, chunk.bytes)) {
          if (blocks)
            sum += check_blocks(s.read_buffer, chunk.bytes, offset,
                                settings.verify_block, id, &bad);
          else
            sum += additive_sum(s.read_buffer, chunk.bytes);
        }
      }
      if (short_of(got, chunk.bytes)) {
        report_short_transfer(w, Op::kRead, j, offset, chunk.bytes, got, error);
        complete = false;
        break;
      }
      offset += chunk.bytes;
    }
    print_sum(w, sum, j);
    judge_file(w, j, sum, complete, bad);
  }
}

}  // namespace iochurn
