// Reading back what the journal expects, block by block.
#include "journal/journal_check.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "exit_status.h"
#include "journal/journal_format.h"
#include "platform/buffer.h"
#include "platform/message.h"
#include "tempfile/temp_name.h"
#include "verify/block_tag.h"

namespace iochurn {

namespace {

using nlohmann::json;

// The largest read of one call; the run's buffer size when smaller. Through
// the page cache small reads win: each block is checked while it is still
// in the processor's cache. Direct reads go to the device, where size wins.
constexpr uint32_t kCachedCheckRead = 256u << 10;
constexpr uint32_t kDirectCheckRead = 16u << 20;

// The open journal and what it holds.
struct Source {
  const char* path;
  int fd;
  bool writable;  // a regular file we may append retirements to
  std::vector<uint8_t> bytes;
};

// Where the check stands while it walks the files.
struct Walk {
  const JournalCheckOptions* options;
  JournalHeader header;
  JournalCheckTotals* totals;
  json findings;
  uint8_t* buffer;
  uint32_t buffer_bytes;
  std::vector<int> intact_slots;  // thread x filecount + slot
  bool read_failed;
};

int open_source(const char* path, Source* src) {
  src->path = path;
  src->writable = false;
  if (std::strcmp(path, "-") == 0) {
    src->fd = STDIN_FILENO;
  } else {
    src->fd = open(path, O_RDWR | O_CLOEXEC);
    struct stat st;
    if (src->fd >= 0 && fstat(src->fd, &st) == 0 && S_ISREG(st.st_mode)) {
      src->writable = true;
    } else {
      if (src->fd >= 0) close(src->fd);
      src->fd = open(path, O_RDONLY | O_CLOEXEC);
    }
    if (src->fd < 0) return errno;
  }
  uint8_t chunk[65536];
  for (;;) {
    ssize_t n = read(src->fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    src->bytes.insert(src->bytes.end(), chunk, chunk + n);
  }
}

void temp_name(const JournalHeader& h, int thread, int slot, char* out,
               size_t size) {
  // A path too long for `out` names no file the run could have made.
  if (!build_temp_path(out, size, h.workdir, static_cast<int>(h.pid), thread,
                       slot))
    out[0] = '\0';
}

json found_tag(const BlockFinding& f) {
  switch (f.kind) {
    case BlockKind::kZeroed:
    case BlockKind::kMissing:
    case BlockKind::kShifted:
    case BlockKind::kUnrecognised:
      return nullptr;
    default:
      break;
  }
  const BlockHeader& h = f.found;
  char run[20];
  std::snprintf(run, sizeof run, "%016" PRIx64, h.run_id);
  return {{"run", run},         {"pid", h.pid},   {"thread", h.thread},
          {"generation", h.generation}, {"slot", h.slot}, {"pass", h.pass},
          {"offset", h.offset}};
}

void note_finding(Walk* w, const char* path, const BlockFinding& f) {
  w->findings.push_back({{"path", path},
                         {"offset", f.offset},
                         {"kind", block_kind_name(f.kind)},
                         {"found", found_tag(f)}});
}

// Fills the buffer from `fd` at `offset` until `want` bytes or the end of
// the file. Returns the bytes read, or -1 with errno set.
int64_t read_fully(int fd, uint8_t* buffer, uint64_t want, uint64_t offset) {
  uint64_t got = 0;
  while (got < want) {
    ssize_t n = pread(fd, buffer + got, want - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<uint64_t>(n);
  }
  return static_cast<int64_t>(got);
}

uint64_t blocks_in(uint64_t bytes, uint32_t block) {
  return (bytes + block - 1) / block;
}

// One file's findings while it is read.
struct FileFindings {
  uint32_t count;  // blocks that are neither intact nor torn
  uint32_t torn;
  uint32_t named;
};

void report_block(Walk* w, const char* path, const BlockFinding& f,
                  FileFindings* ff) {
  if (ff->named < static_cast<uint32_t>(kNamedBadBlocks)) {
    char found[192];
    describe_finding(f, found, sizeof found);
    write_long_message(STDERR_FILENO,
                       "ERR [verify]: %s block at offset %llu of %s%s\n",
                       block_kind_name(f.kind),
                       static_cast<unsigned long long>(f.offset), path, found);
    note_finding(w, path, f);
  }
  ff->named++;
}

void count_block(Walk* w, BlockKind kind, uint64_t bytes) {
  JournalCheckTotals* t = w->totals;
  t->blocks_by_kind[static_cast<int>(kind)]++;
  if (kind == BlockKind::kTorn)
    t->bytes_torn += bytes;
  else
    t->bytes_lost += bytes;
}

// Keeps a file with findings as evidence, never over an earlier one.
void keep_evidence(const char* path) {
  char kept[kPathSize + 48];
  std::snprintf(kept, sizeof kept, "%s.failed", path);
  if (renameat2(AT_FDCWD, path, AT_FDCWD, kept, RENAME_NOREPLACE) == 0)
    write_long_message(STDERR_FILENO, "failed file kept as %s\n", kept);
  else
    write_long_message(STDERR_FILENO, "cannot keep %s as %s: %s\n", path,
                       kept, std::strerror(errno));
}

void check_missing_file(Walk* w, const char* path, const SlotExpectation& e,
                        bool durable) {
  JournalCheckTotals* t = w->totals;
  if (!durable) {
    // Nothing could be made durable: the retirement may have been in
    // flight when the cut came.
    t->files_unconfirmed++;
    write_long_message(STDERR_FILENO,
                       "ERR [verify]: missing (retirement unconfirmed) file %s\n",
                       path);
    return;
  }
  uint64_t blocks = blocks_in(e.length, w->header.verify_block);
  t->files_checked++;
  t->files_missing++;
  t->bytes_acknowledged += e.length;
  t->blocks_acknowledged += blocks;
  t->bytes_lost += e.length;
  t->blocks_by_kind[static_cast<int>(BlockKind::kMissing)] += blocks;
  write_long_message(STDERR_FILENO,
                     "ERR [verify]: missing file %s (%llu bytes acknowledged)\n",
                     path, static_cast<unsigned long long>(e.length));
  BlockFinding f{};
  f.kind = BlockKind::kMissing;
  note_finding(w, path, f);
}

// Reads one expected file and classifies its acknowledged blocks. Returns
// false when the check was interrupted.
bool check_file(Walk* w, int thread, int slot, const SlotExpectation& e,
                bool durable, bool emergency) {
  const JournalHeader& h = w->header;
  char path[kPathSize + 32];
  temp_name(h, thread, slot, path, sizeof path);
  int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (w->options->direct ? O_DIRECT : 0);
  int fd = open(path, flags);
  if (fd < 0 && errno == ENOENT) {
    // After the emergency clean-up every missing file is one it deleted.
    if (!emergency) check_missing_file(w, path, e, durable);
    return true;
  }
  JournalCheckTotals* t = w->totals;
  if (fd < 0) {
    write_long_message(STDERR_FILENO, "ERR [open]: %s for file %s\n",
                       std::strerror(errno), path);
    t->files_unreadable++;
    w->read_failed = true;
    return true;
  }
  t->files_checked++;
  t->bytes_acknowledged += e.length;
  t->blocks_acknowledged += blocks_in(e.length, h.verify_block);
  const BlockIdentity acked{h.run_id, h.pid, static_cast<uint32_t>(thread),
                            e.generation, static_cast<uint32_t>(slot), e.pass};
  FileFindings ff{};
  bool complete = true;
  uint64_t offset = 0;
  while (offset < e.length) {
    if (w->options->interrupted != nullptr && w->options->interrupted()) {
      close(fd);
      return false;
    }
    uint64_t want = e.length - offset;
    if (want > w->buffer_bytes) want = w->buffer_bytes;
    // Direct reads move whole blocks; the acknowledged length is one.
    uint64_t asked = (want + h.verify_block - 1) / h.verify_block * h.verify_block;
    int64_t got = read_fully(fd, w->buffer, asked, offset);
    if (got < 0) {
      write_long_message(STDERR_FILENO, "ERR [read]: %s at offset %llu of %s\n",
                         std::strerror(errno),
                         static_cast<unsigned long long>(offset), path);
      t->files_unreadable++;
      w->read_failed = true;
      complete = false;
      break;
    }
    for (uint64_t at = 0; at < want; at += h.verify_block) {
      uint64_t left = want - at;
      auto size = static_cast<uint32_t>(left < h.verify_block ? left : h.verify_block);
      BlockFinding f{};
      f.offset = offset + at;
      bool intact;
      if (at + size > static_cast<uint64_t>(got)) {
        // The file ends before the acknowledged length.
        f.kind = BlockKind::kMissing;
        intact = false;
      } else {
        intact = check_acknowledged(w->buffer + at, size, offset + at, acked, &f);
      }
      if (intact) {
        t->bytes_intact += size;
        t->blocks_intact++;
        continue;
      }
      count_block(w, f.kind, size);
      if (f.kind == BlockKind::kTorn) ff.torn++; else ff.count++;
      report_block(w, path, f, &ff);
    }
    offset += want;
  }
  close(fd);
  if (ff.named > static_cast<uint32_t>(kNamedBadBlocks))
    write_long_message(STDERR_FILENO, "ERR [verify]: %u more bad blocks in %s\n",
                       ff.named - kNamedBadBlocks, path);
  if (ff.count > 0)
    keep_evidence(path);
  else if (complete && ff.torn == 0)
    w->intact_slots.push_back(thread * static_cast<int>(h.filecount) + slot);
  return true;
}

// Appends durable retirements of the intact files, then deletes them.
void retire_intact(Walk* w, Source* src, const JournalScan& scan) {
  if (w->intact_slots.empty() || w->options->keep_files) return;
  if (!src->writable) {
    write_long_message(STDERR_FILENO,
                       "iochurn: journal %s cannot take retirements; the "
                       "intact files are kept\n", src->path);
    return;
  }
  const JournalHeader& h = w->header;
  // A torn tail goes first, so the retirements follow the valid records.
  uint64_t sequence = scan.records.empty() ? 0 : scan.records.back().sequence;
  std::vector<JournalRecord> records;
  for (int index : w->intact_slots) {
    int thread = index / static_cast<int>(h.filecount);
    int slot = index % static_cast<int>(h.filecount);
    JournalRecord r = make_record(RecordKind::kRetire, thread, slot, 0, 0, 0);
    r.sequence = ++sequence;
    seal_record(&r, h.run_id);
    records.push_back(r);
  }
  size_t bytes = records.size() * sizeof(JournalRecord);
  bool ok = ftruncate(src->fd, static_cast<off_t>(scan.valid_bytes)) == 0 &&
            pwrite(src->fd, records.data(), bytes,
                   static_cast<off_t>(scan.valid_bytes)) ==
                static_cast<ssize_t>(bytes) &&
            fdatasync(src->fd) == 0;
  if (!ok) {
    write_long_message(STDERR_FILENO,
                       "iochurn: journal %s: %s; the intact files are kept\n",
                       src->path, std::strerror(errno));
    return;
  }
  for (int index : w->intact_slots) {
    char path[kPathSize + 32];
    temp_name(h, index / static_cast<int>(h.filecount),
              index % static_cast<int>(h.filecount), path, sizeof path);
    if (unlink(path) != 0)
      write_long_message(STDERR_FILENO, "ERR [unlink]: %s for file %s\n",
                         std::strerror(errno), path);
  }
}

json report_object(const JournalCheckTotals& t, json findings) {
  json kinds = json::object();
  for (int k = 0; k < kBlockKindCount; ++k) {
    auto kind = static_cast<BlockKind>(k);
    if ((block_kind_info(kind).scope & kFoundByCheck) != 0)
      kinds[block_kind_name(kind)] = t.blocks_by_kind[k];
  }
  kinds["intact"] = t.blocks_intact;
  uint64_t lost = 0;
  for (int k = 0; k < kBlockKindCount; ++k)
    if (k != static_cast<int>(BlockKind::kTorn) &&
        k != static_cast<int>(BlockKind::kCorrupt))
      lost += t.blocks_by_kind[k];
  return {{"files_checked", t.files_checked},
          {"files_missing", t.files_missing},
          {"files_unconfirmed", t.files_unconfirmed},
          {"blocks_acknowledged", t.blocks_acknowledged},
          {"blocks_intact", t.blocks_intact},
          {"blocks_lost", lost},
          {"blocks_corrupt", t.blocks_by_kind[static_cast<int>(BlockKind::kCorrupt)]},
          {"blocks_torn", t.blocks_by_kind[static_cast<int>(BlockKind::kTorn)]},
          {"blocks_by_kind", kinds},
          {"bytes_acknowledged", t.bytes_acknowledged},
          {"bytes_intact", t.bytes_intact},
          {"bytes_lost", t.bytes_lost},
          {"bytes_torn", t.bytes_torn},
          {"journal_damaged", t.journal_damaged},
          {"interrupted", t.interrupted},
          {"findings", std::move(findings)}};
}

int refuse_journal(const char* path, const char* why) {
  write_long_message(STDERR_FILENO, "iochurn: journal %s: %s\n", path, why);
  return kExitBadLongOption;
}

}  // namespace

int check_journal(const JournalCheckOptions& options, JournalCheckTotals* totals,
                  std::string* report_json) {
  std::memset(totals, 0, sizeof *totals);
  Source src{};
  int error = open_source(options.path, &src);
  if (error != 0) {
    if (src.fd > STDIN_FILENO) close(src.fd);
    return refuse_journal(options.path, std::strerror(error));
  }
  JournalScan scan;
  ScanResult result = scan_journal(src.bytes.data(), src.bytes.size(), &scan);
  if (result != ScanResult::kOk) {
    if (src.fd > STDIN_FILENO) close(src.fd);
    return refuse_journal(options.path, result == ScanResult::kBadVersion
                                            ? "a journal of another format version"
                                            : "no valid journal header");
  }
  if (scan.damaged) {
    totals->journal_damaged = true;
    write_long_message(STDERR_FILENO,
                       "iochurn: journal %s: damaged after byte %llu; the "
                       "records after it were not read\n",
                       options.path,
                       static_cast<unsigned long long>(scan.valid_bytes));
  }
  JournalState state;
  fold_journal(scan, &state);
  Walk w{};
  w.options = &options;
  w.header = scan.header;
  w.header.workdir[sizeof w.header.workdir - 1] = '\0';
  w.totals = totals;
  w.findings = json::array();
  if (w.header.verify_block < kBlockHeaderBytes || w.header.filecount == 0)
    return refuse_journal(options.path, "settings the check cannot use");
  const uint32_t most = options.direct ? kDirectCheckRead : kCachedCheckRead;
  w.buffer_bytes = w.header.buffer_bytes < most ? w.header.buffer_bytes : most;
  if (w.buffer_bytes < w.header.verify_block) w.buffer_bytes = w.header.verify_block;
  w.buffer = allocate_buffer(w.buffer_bytes);
  if (w.buffer == nullptr)
    return refuse_journal(options.path, "no memory for the read buffer");
  const bool durable = (w.header.flags & kJournalDurable) != 0;
  for (int t = 0; t < state.threads && !totals->interrupted; ++t)
    for (int j = 0; j < state.filecount; ++j) {
      const SlotExpectation& e = state.slots[t * state.filecount + j];
      if (!e.acknowledged || e.length == 0) continue;
      if (!check_file(&w, t, j, e, durable, state.emergency)) {
        totals->interrupted = true;
        break;
      }
    }
  release_buffer(w.buffer);
  retire_intact(&w, &src, scan);
  if (src.fd > STDIN_FILENO) close(src.fd);

  std::printf("Journal check: %llu files, %llu bytes acknowledged\n"
              "Intact_Bytes=%llu   Lost_Bytes=%llu   Torn_Bytes=%llu\n",
              static_cast<unsigned long long>(totals->files_checked),
              static_cast<unsigned long long>(totals->bytes_acknowledged),
              static_cast<unsigned long long>(totals->bytes_intact),
              static_cast<unsigned long long>(totals->bytes_lost),
              static_cast<unsigned long long>(totals->bytes_torn));
  if (report_json != nullptr)
    *report_json = report_object(*totals, std::move(w.findings)).dump();
  int bits = 0;
  if (totals->bytes_lost > 0) bits |= kStrictDataError;
  if (w.read_failed || totals->journal_damaged) bits |= kStrictOtherError;
  if (totals->interrupted) bits |= kStrictSignal;
  return bits == 0 ? kExitOk : kExitStrictBase + bits;
}

}  // namespace iochurn
