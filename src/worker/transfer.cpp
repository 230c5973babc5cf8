// Chunked transfers with their sums: the hot path of the program.
#include "worker/transfer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "guard/error_limit.h"
#include "guard/shadow_table.h"
#include "guard/watched_call.h"
#include "journal/journal.h"
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

// Moves one chunk, continuing where a call moved fewer bytes than asked
// without an error (legal for any file, usual on FUSE and NFS or after a
// signal); each call is guarded on its own. Returns the bytes moved: all
// of them, or fewer when a call failed (its errno in `*error`) or moved
// nothing (end of file for a read; `*error` 0).
uint64_t transfer_chunk(Worker* w, Op op, const FileSlot& s, int j,
                        uint8_t* buffer, uint64_t bytes, uint64_t offset,
                        int* error) {
  uint64_t done = 0;
  *error = 0;
  while (done < bytes) {
    ssize_t n = guarded_transfer(w, op, s, j, buffer + done, bytes - done,
                                 offset + done, error);
    if (n < 0) {
      if (*error == 0) *error = EIO;  // failed without saying why
      return done;
    }
    *error = 0;
    if (n == 0) return done;
    done += static_cast<uint64_t>(n);
  }
  return done;
}

// Reports a chunk that ended short: the failing call's own error text, or
// what happened when a call moved nothing.
void report_ended_short(Worker* w, Op op, int j, uint64_t offset,
                        uint64_t asked, uint64_t moved, int error) {
  bool writing = op == Op::kWrite;
  char cause[96];
  if (error != 0)
    std::snprintf(cause, sizeof cause, "%s", std::strerror(error));
  else
    std::snprintf(cause, sizeof cause, "%s after %llu of %llu bytes",
                  writing ? "no progress" : "end of file",
                  static_cast<unsigned long long>(moved),
                  static_cast<unsigned long long>(asked));
  int64_t site_moved = error != 0 ? -1 : static_cast<int64_t>(moved);
  report_worker_error(w, {op, j, offset, asked, site_moved, error},
                      "\nThread %d: ERR [%s]: %s for buffer %d\n", w->index,
                      writing ? "write" : "read", cause, j);
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

// One line per named bad block, one for the rest, one for a lost tail; the
// blocks counted by kind, the lost tail as one.
void report_bad_blocks(Worker* w, int j, const BadBlocks& bad,
                       const BlockFinding* lost) {
  const FileSlot& s = w->slots[j];
  uint32_t named = bad.count < kNamedBadBlocks ? bad.count : kNamedBadBlocks;
  auto report = [w, j, &s](const BlockFinding& f) {
    char found[192];
    describe_finding(f, found, sizeof found);
    uint64_t bytes = f.kind == BlockKind::kMissing ? f.missing : settings.verify_block;
    report_worker_error(
        w, {Op::kVerify, j, f.offset, bytes, 0, 0, static_cast<int>(f.kind)},
        "\nThread %d: ERR [verify]: %s block at offset %llu of %s%s\n",
        w->index, block_kind_name(f.kind),
        static_cast<unsigned long long>(f.offset), s.path, found);
  };
  for (uint32_t i = 0; i < named; ++i) report(bad.named[i]);
  for (int k = 0; k < kBlockKindCount; ++k)
    for (uint32_t i = 0; i < bad.by_kind[k]; ++i)
      record_bad_block(w->index, static_cast<BlockKind>(k));
  if (bad.count > named)
    write_long_message(STDERR_FILENO,
                       "\nThread %d: ERR [verify]: %u more bad blocks in %s\n",
                       w->index, bad.count - named, s.path);
  if (lost != nullptr) {
    report(*lost);
    record_bad_block(w->index, BlockKind::kMissing);
  }
}

// Judges one file once it has been read: the sum, the blocks, the counts.
// `read_complete`: every byte the read phase asked for came back; `lost`:
// the file ended before its data did (blocks only), else nullptr.
void judge_file(Worker* w, int j, uint32_t sum, bool read_complete,
                const BadBlocks& bad, const BlockFinding* lost) {
  FileSlot& s = w->slots[j];
  bool complete = read_complete && !s.transfer_failed;
  bool sum_differs = sum != s.write_sum;
  // Blocks judged before a transfer fell short count like any others; with
  // blocks, the sum only speaks for a file moved whole both ways.
  if (bad.count > 0 || lost != nullptr) report_bad_blocks(w, j, bad, lost);
  if (settings.verify_mode == VerifyMode::kBlocks && !complete)
    sum_differs = false;
  if (sum_differs) {
    verbose_line("ERROR on chksum!!!\n");
    report_worker_error(w, {Op::kChksum, j, 0, s.file_size, 0, 0},
                        "\nThread %d: ERR [chksum]: mismatch additive sums, "
                        "write=%lu, read=%lu\n",
                        w->index, static_cast<unsigned long>(s.write_sum),
                        static_cast<unsigned long>(sum));
  }
  bool blocks_differ = bad.count > 0 || lost != nullptr;
  if (!sum_differs && !blocks_differ) return;
  count_compare_error(w);
  // Evidence: a file known to hold other data than was written, whatever
  // became of its tail. A sum alone proves that only for a complete file.
  if (complete || blocks_differ) {
    s.data_failed = true;
    record_file_different(w->index);
  }
}

// Where the read phase stops for a file: its end, or with blocks, after
// the last whole block of what its write phase stored, so the part it
// could not write is not counted a second time.
uint64_t read_end(const FileSlot& s, bool blocks) {
  if (!blocks || s.written >= s.file_size) return s.file_size;
  return s.written - s.written % settings.verify_block;
}

}  // namespace

Chunk next_chunk(uint64_t remaining, uint32_t buffer_size) {
  if (remaining >= buffer_size) return {buffer_size, '*'};
  return {remaining, '.'};
}

namespace {

// What a phase does to each chunk's bytes, chosen once per phase: `before`
// runs ahead of the transfer, `after` on what a read delivered (the whole
// chunk, or with `judge_partial` the whole blocks before a read that fell
// short); each returns what it adds to the file's sum.
struct ChunkWork {
  uint32_t (*before)(uint8_t* chunk, uint64_t bytes, uint64_t offset,
                     const BlockIdentity& id, BadBlocks* bad);
  uint32_t (*after)(uint8_t* chunk, uint64_t bytes, uint64_t offset,
                    const BlockIdentity& id, BadBlocks* bad);
  bool judge_partial;
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

// How a file's transfer went.
struct FileMoved {
  uint32_t sum;
  bool complete;     // every chunk moved whole (and with -y flushed)
  bool tail_lost;    // blocks: the file ended before its data did
  BlockFinding lost;  // the missing range, when tail_lost
  BadBlocks bad;
};

// Moves bytes [0, end) of one file chunk by chunk through `buffer`. A chunk
// that ends short (or with -y a failed flush) stops the file after
// reporting it; with blocks, a read that meets the end of the file early
// is a lost tail instead, judged with the file.
void transfer_file(Worker* w, int j, Op op, uint8_t* buffer,
                   const ChunkWork& work, uint64_t end, FileMoved* out) {
  FileSlot& s = w->slots[j];
  const bool writing = op == Op::kWrite;
  const bool flush = writing && w->params.sync_writes;
  // Acknowledged only once the file's name is durable too.
  const bool journalled = writing && journal_enabled() && w->names_durable;
  const BlockIdentity id = identity_of(w, j);
  uint64_t offset = 0;
  while (offset < end) {
    Chunk chunk = next_chunk(end - offset, s.buffer_size);
    uint64_t moved;
    int error;
    {
      GateHold hold(w->index);
      out->sum += work.before(buffer, chunk.bytes, offset, id, &out->bad);
      put_symbol(chunk.symbol);
      moved = transfer_chunk(w, op, s, j, buffer, chunk.bytes, offset, &error);
      if (moved == chunk.bytes)
        out->sum += work.after(buffer, moved, offset, id, &out->bad);
      else if (work.judge_partial)
        out->sum += work.after(buffer, moved - moved % settings.verify_block,
                               offset, id, &out->bad);
    }
    if (writing) s.written = offset + moved;
    if (moved < chunk.bytes) {
      out->complete = false;
      if (!writing && work.judge_partial && error == 0) {
        // Every write of it succeeded, yet the file ends early: data lost.
        out->tail_lost = true;
        out->lost = missing_finding(offset + moved, end - offset - moved);
      } else {
        report_ended_short(w, op, j, offset, chunk.bytes, moved, error);
      }
      return;
    }
    if (flush && !flush_file(w, s, j, offset)) {
      out->complete = false;
      return;
    }
    offset += chunk.bytes;
    // The flush just covered every byte written so far.
    if (journalled && flush)
      journal_ack(w->index, j, w->generation, w->pass, offset);
  }
  // Without -y the journal needs one flush of its own per file.
  if (journalled && !flush && out->complete) {
    if (flush_file(w, s, j, offset))
      journal_ack(w->index, j, w->generation, w->pass, offset);
    else
      out->complete = false;
  }
}

// What a phase does with a file once it has been moved.
using FileEnd = void (*)(Worker* w, int j, const FileMoved& moved);

void end_written_file(Worker* w, int j, const FileMoved& moved) {
  FileSlot& s = w->slots[j];
  if (!moved.complete) s.transfer_failed = true;
  s.write_sum = moved.sum;
}

void end_read_file(Worker* w, int j, const FileMoved& moved) {
  judge_file(w, j, moved.sum, moved.complete, moved.bad,
             moved.tail_lost ? &moved.lost : nullptr);
}

// Judges a file read back; the retirement of a file the clean-up will
// remove is committed while the other files are read.
void judge_and_retire(Worker* w, int j, const FileMoved& moved) {
  end_read_file(w, j, moved);
  retire_early(w, j);
}

// The chunk routines of a phase, chosen once per phase. The write phase
// sums before the bytes are handed over, so the comparison covers the
// whole way through the file system and the device. With blocks, the whole
// blocks that came back are judged, also before a read that fell short.
ChunkWork chunk_work(Op op) {
  const bool blocks = settings.verify_mode == VerifyMode::kBlocks;
  if (op == Op::kWrite)
    return blocks ? ChunkWork{stamp_chunk, nothing, false}
                  : ChunkWork{sum_chunk, nothing, false};
  return blocks ? ChunkWork{poison_chunk, check_chunk, true}
                : ChunkWork{nothing, sum_chunk, false};
}

// Every open file of the worker in slot order, through the write buffers
// (write phase) or the read buffers (read phase) of its slots.
void run_phase(Worker* w, Op op, FileEnd end_file) {
  const bool writing = op == Op::kWrite;
  const bool blocks = settings.verify_mode == VerifyMode::kBlocks;
  const ChunkWork work = chunk_work(op);
  record_phase(op, true);
  for (int j = 0; j < used_slots(); ++j) {
    FileSlot& s = w->slots[j];
    uint8_t* buffer = writing ? s.write_buffer : s.read_buffer;
    if (buffer == nullptr || s.descriptor == -1) continue;
    if (!begin_file(w, s, j, writing)) continue;
    FileMoved moved{};
    moved.complete = true;
    const uint64_t end = writing ? s.file_size : read_end(s, blocks);
    transfer_file(w, j, op, buffer, work, end, &moved);
    print_sum(w, moved.sum, j);
    end_file(w, j, moved);
  }
  record_phase(op, false);
}

}  // namespace

void write_phase(Worker* w) {
  verbose_line("Thread %d: Write files from memory buffers.\n", w->index);
  run_phase(w, Op::kWrite, end_written_file);
}

void read_verify_phase(Worker* w) {
  verbose_line("Thread %d: Read files to memory buffers.\n", w->index);
  run_phase(w, Op::kRead, judge_and_retire);
}

}  // namespace iochurn
