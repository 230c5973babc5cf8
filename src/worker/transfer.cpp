// Chunked transfers with their sums: the hot path of the program.
#include "worker/transfer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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
    std::fprintf(stderr, "\nThread %d: ERR [verify]: %u more bad blocks in %s\n",
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

void write_phase(Worker* w) {
  const bool blocks = settings.verify_mode == VerifyMode::kBlocks;
  verbose_line("Thread %d: Write files from memory buffers.\n", w->index);
  record_phase(Op::kWrite, true);
  for (int j = 0; j < used_slots(); ++j) {
    FileSlot& s = w->slots[j];
    if (s.write_buffer == nullptr || s.descriptor == -1) continue;
    if (!begin_file(w, s, j, true)) continue;
    const BlockIdentity id = identity_of(w, j);
    uint32_t sum = 0;
    uint64_t offset = 0;
    while (offset < s.file_size) {
      Chunk chunk = next_chunk(s.file_size - offset, s.buffer_size);
      uint64_t written;
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
        written = transfer_chunk(w, Op::kWrite, s, j, s.write_buffer,
                                 chunk.bytes, offset, &error);
      }
      s.written = offset + written;
      if (written < chunk.bytes) {
        report_ended_short(w, Op::kWrite, j, offset, chunk.bytes, written,
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
  record_phase(Op::kWrite, false);
}

void read_verify_phase(Worker* w) {
  const bool blocks = settings.verify_mode == VerifyMode::kBlocks;
  const uint32_t block = settings.verify_block;
  verbose_line("Thread %d: Read files to memory buffers.\n", w->index);
  record_phase(Op::kRead, true);
  for (int j = 0; j < used_slots(); ++j) {
    FileSlot& s = w->slots[j];
    if (s.read_buffer == nullptr || s.descriptor == -1) continue;
    if (!begin_file(w, s, j, false)) continue;
    const BlockIdentity id = identity_of(w, j);
    const uint64_t end = read_end(s, blocks);
    BadBlocks bad{};
    BlockFinding lost{};
    bool tail_lost = false;
    bool complete = true;
    uint32_t sum = 0;
    uint64_t offset = 0;
    while (offset < end) {
      Chunk chunk = next_chunk(end - offset, s.buffer_size);
      uint64_t got;
      int error;
      {
        GateHold hold(w->index);
        // Bytes a read reports but never delivers keep the poison.
        if (blocks) poison_blocks(s.read_buffer, chunk.bytes, block);
        put_symbol(chunk.symbol);
        got = transfer_chunk(w, Op::kRead, s, j, s.read_buffer, chunk.bytes,
                             offset, &error);
        if (blocks) {
          // The whole blocks that came back are judged, also before a
          // read that fell short.
          uint64_t whole = got == chunk.bytes ? got : got - got % block;
          sum += check_blocks(s.read_buffer, whole, offset, block, id, &bad);
        } else if (got == chunk.bytes) {
          sum += additive_sum(s.read_buffer, chunk.bytes);
        }
      }
      if (got < chunk.bytes) {
        complete = false;
        if (blocks && error == 0) {
          // Every write of it succeeded, yet the file ends early: data lost.
          tail_lost = true;
          lost = missing_finding(offset + got, end - offset - got);
        } else {
          report_ended_short(w, Op::kRead, j, offset, chunk.bytes, got, error);
        }
        break;
      }
      offset += chunk.bytes;
    }
    print_sum(w, sum, j);
    judge_file(w, j, sum, complete, bad, tail_lost ? &lost : nullptr);
  }
  record_phase(Op::kRead, false);
}

}  // namespace iochurn
