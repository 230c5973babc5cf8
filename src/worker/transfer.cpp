// Chunked transfers with their sums: the hot path of the program.
#include "worker/transfer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "guard/shadow_table.h"
#include "guard/watched_call.h"
#include "guard/watchdog.h"
#include "platform/message.h"
#include "verify/additive_sum.h"
#include "verify/block_tag.h"
#include "worker/worker_report.h"

namespace iochurn {

namespace {

// One read or write of a chunk, watched when -A is on; the run record
// counts the bytes it moved. Returns what the call returned and leaves its
// errno (0 when it set none) in `*error`.
ssize_t guarded_transfer(Worker* w, Op op, const FileSlot& s, int j,
                         uint8_t* buffer, uint64_t bytes, uint64_t offset,
                         int* error) {
  ssize_t moved;
  {
    WatchedCall call(w->index, op, j, offset, bytes, w->pass,
                     settings.alarm_control);
    errno = 0;
    moved = op == Op::kWrite ? write(s.descriptor, buffer, bytes)
                             : read(s.descriptor, buffer, bytes);
    *error = errno;
    call.result = moved;
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
    WatchedCall call(w->index, Op::kSync, j, offset, 0, w->pass,
                     settings.alarm_control && settings.diagnose);
    rc = fdatasync(s.descriptor);
    error = errno;
    call.result = rc;
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
    write_long_message(STDERR_FILENO,
                       "\nThread %d: ERR [verify]: %u more bad blocks in %s\n",
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

namespace {

// What a phase does to each chunk's bytes, chosen once per phase: `before`
// runs ahead of the transfer, `after` once a read has delivered the whole
// chunk; each returns what it adds to the file's sum.
struct ChunkWork {
  uint32_t (*before)(uint8_t* chunk, uint64_t bytes, uint64_t offset,
                     const BlockIdentity& id, BadBlocks* bad);
  uint32_t (*after)(uint8_t* chunk, uint64_t bytes, uint64_t offset,
                    const BlockIdentity& id, BadBlocks* bad);
};

uint32_t nothing(uint8_t*, uint64_t, uint64_t, const BlockIdentity&,
                 BadBlocks*) {
  return 0;
}

uint32_t sum_chunk(uint8_t* chunk, uint64_t bytes, uint64_t,
                   const BlockIdentity&, BadBlocks*) {
  return additive_sum(chunk, bytes);
}

uint32_t stamp_chunk(uint8_t* chunk, uint64_t bytes, uint64_t offset,
                     const BlockIdentity& id, BadBlocks*) {
  return stamp_blocks(chunk, bytes, offset, settings.verify_block, id);
}

// Bytes a read reports but never delivers keep the poison.
uint32_t poison_chunk(uint8_t* chunk, uint64_t bytes, uint64_t,
                      const BlockIdentity&, BadBlocks*) {
  poison_blocks(chunk, bytes, settings.verify_block);
  return 0;
}

uint32_t check_chunk(uint8_t* chunk, uint64_t bytes, uint64_t offset,
                     const BlockIdentity& id, BadBlocks* bad) {
  return check_blocks(chunk, bytes, offset, settings.verify_block, id, bad);
}

// Moves one file chunk by chunk through `buffer`. Returns the file's sum;
// `*complete` turns false when a transfer (or with -y a flush) stopped
// early, after reporting it.
uint32_t transfer_file(Worker* w, int j, Op op, uint8_t* buffer,
                       const ChunkWork& work, BadBlocks* bad, bool* complete) {
  FileSlot& s = w->slots[j];
  const bool flush = op == Op::kWrite && w->params.sync_writes;
  const BlockIdentity id = identity_of(w, j);
  uint32_t sum = 0;
  uint64_t offset = 0;
  while (offset < s.file_size) {
    Chunk chunk = next_chunk(s.file_size - offset, s.buffer_size);
    ssize_t moved;
    int error;
    {
      GateHold hold(w->index);
      sum += work.before(buffer, chunk.bytes, offset, id, bad);
      put_symbol(chunk.symbol);
      moved =
          guarded_transfer(w, op, s, j, buffer, chunk.bytes, offset, &error);
      if (!short_of(moved, chunk.bytes))
        sum += work.after(buffer, chunk.bytes, offset, id, bad);
    }
    if (short_of(moved, chunk.bytes)) {
      report_short_transfer(w, op, j, offset, chunk.bytes, moved, error);
      *complete = false;
      break;
    }
    if (flush && !flush_file(w, s, j, offset)) {
      *complete = false;
      break;
    }
    offset += chunk.bytes;
  }
  return sum;
}

// What a phase does with a file once it has been moved.
using FileEnd = void (*)(Worker* w, int j, uint32_t sum, bool complete,
                         const BadBlocks& bad);

void end_written_file(Worker* w, int j, uint32_t sum, bool complete,
                      const BadBlocks&) {
  FileSlot& s = w->slots[j];
  if (!complete) s.transfer_failed = true;
  s.write_sum = sum;
}

// The chunk routines of a phase, chosen once per phase. The write phase
// sums before the bytes are handed over, so the comparison covers the
// whole way through the file system and the device.
ChunkWork chunk_work(Op op) {
  const bool blocks = settings.verify_mode == VerifyMode::kBlocks;
  if (op == Op::kWrite)
    return blocks ? ChunkWork{stamp_chunk, nothing}
                  : ChunkWork{sum_chunk, nothing};
  return blocks ? ChunkWork{poison_chunk, check_chunk}
                : ChunkWork{nothing, sum_chunk};
}

// Every open file of the worker in slot order, through the write buffers
// (write phase) or the read buffers (read phase) of its slots.
void run_phase(Worker* w, Op op, FileEnd end_file) {
  const bool writing = op == Op::kWrite;
  const ChunkWork work = chunk_work(op);
  for (int j = 0; j < used_slots(); ++j) {
    FileSlot& s = w->slots[j];
    uint8_t* buffer = writing ? s.write_buffer : s.read_buffer;
    if (buffer == nullptr || s.descriptor == -1) continue;
    if (!begin_file(w, s, j, writing)) continue;
    BadBlocks bad{};
    bool complete = true;
    uint32_t sum = transfer_file(w, j, op, buffer, work, &bad, &complete);
    print_sum(w, sum, j);
    end_file(w, j, sum, complete, bad);
  }
}

}  // namespace

void write_phase(Worker* w) {
  verbose_line("Thread %d: Write files from memory buffers.\n", w->index);
  run_phase(w, Op::kWrite, end_written_file);
}

void read_verify_phase(Worker* w) {
  verbose_line("Thread %d: Read files to memory buffers.\n", w->index);
  run_phase(w, Op::kRead, judge_file);
}

}  // namespace iochurn
