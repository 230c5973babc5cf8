// Sealing, reading and folding journal records.
#include "journal/journal_format.h"

#include <cstring>

#include "verify/check_value.h"

namespace iochurn {

namespace {

constexpr size_t kHeaderChecked = offsetof(JournalHeader, check);
constexpr size_t kRecordChecked = offsetof(JournalRecord, check);

uint64_t header_check(const JournalHeader& h) {
  return check_value(reinterpret_cast<const uint8_t*>(&h), kHeaderChecked,
                     nullptr, 0);
}

uint64_t record_check(const JournalRecord& r, uint64_t run_id) {
  // Seeded with the run id: a record of another journal never passes.
  return check_value(reinterpret_cast<const uint8_t*>(&run_id), sizeof run_id,
                     reinterpret_cast<const uint8_t*>(&r), kRecordChecked);
}

bool has_valid_record(const uint8_t* data, size_t size, uint64_t from,
                      uint64_t after_sequence, uint64_t run_id) {
  // Any alignment: an earlier torn record may have shifted what follows.
  for (uint64_t at = from; at + sizeof(JournalRecord) <= size; ++at) {
    JournalRecord r;
    std::memcpy(&r, data + at, sizeof r);
    if (r.magic == kRecordMagic && record_valid(r, run_id) &&
        r.sequence > after_sequence)
      return true;
  }
  return false;
}

}  // namespace

void seal_header(JournalHeader* h) { h->check = header_check(*h); }

void seal_record(JournalRecord* r, uint64_t run_id) {
  r->magic = kRecordMagic;
  r->check = record_check(*r, run_id);
}

bool header_valid(const JournalHeader& h) {
  return h.magic == kJournalMagic && h.header_bytes == sizeof h &&
         h.check == header_check(h);
}

bool record_valid(const JournalRecord& r, uint64_t run_id) {
  return r.magic == kRecordMagic && r.check == record_check(r, run_id);
}

JournalRecord make_record(RecordKind kind, int thread, int slot,
                          uint32_t generation, uint32_t pass, uint64_t length) {
  JournalRecord r{};
  r.kind = static_cast<uint8_t>(kind);
  r.thread = static_cast<uint32_t>(thread);
  r.slot = static_cast<uint32_t>(slot);
  r.generation = generation;
  r.pass = pass;
  r.length = length;
  return r;
}

ScanResult scan_journal(const uint8_t* data, size_t size, JournalScan* out) {
  out->records.clear();
  out->valid_bytes = 0;
  out->ignored_bytes = 0;
  out->damaged = false;
  if (size < sizeof(JournalHeader)) return ScanResult::kNoHeader;
  std::memcpy(&out->header, data, sizeof out->header);
  const JournalHeader& h = out->header;
  if (h.magic != kJournalMagic || h.check != header_check(h) ||
      h.header_bytes != sizeof h)
    return ScanResult::kNoHeader;
  if (h.version != kJournalVersion) return ScanResult::kBadVersion;
  uint64_t at = sizeof h;
  uint64_t sequence = 0;
  while (at + sizeof(JournalRecord) <= size) {
    JournalRecord r;
    std::memcpy(&r, data + at, sizeof r);
    if (!record_valid(r, h.run_id) || r.sequence != sequence + 1) break;
    out->records.push_back(r);
    sequence = r.sequence;
    at += sizeof r;
  }
  out->valid_bytes = at;
  out->ignored_bytes = size - at;
  out->damaged = out->ignored_bytes > 0 &&
                 has_valid_record(data, size, at + 1, sequence, h.run_id);
  return ScanResult::kOk;
}

void fold_journal(const JournalScan& scan, JournalState* out) {
  const JournalHeader& h = scan.header;
  out->threads = static_cast<int>(h.threads > kMaxThreads ? kMaxThreads : h.threads);
  out->filecount = static_cast<int>(h.filecount > kMaxFiles ? kMaxFiles : h.filecount);
  out->emergency = false;
  out->slots.assign(static_cast<size_t>(out->threads) * out->filecount,
                    SlotExpectation{});
  for (const JournalRecord& r : scan.records) {
    if (r.kind == static_cast<uint8_t>(RecordKind::kEmergency)) {
      out->emergency = true;
      continue;
    }
    if (r.thread >= static_cast<uint32_t>(out->threads) ||
        r.slot >= static_cast<uint32_t>(out->filecount))
      continue;
    SlotExpectation& e = out->slots[r.thread * out->filecount + r.slot];
    if (r.kind == static_cast<uint8_t>(RecordKind::kAck)) {
      bool same_write = e.acknowledged && e.generation == r.generation &&
                        e.pass == r.pass;
      if (!same_write || r.length > e.length) e.length = r.length;
      e.acknowledged = true;
      e.generation = r.generation;
      e.pass = r.pass;
    } else if (r.kind == static_cast<uint8_t>(RecordKind::kRetire)) {
      e = SlotExpectation{};
    }
  }
}

}  // namespace iochurn
