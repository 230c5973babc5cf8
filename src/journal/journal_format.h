// The journal's form on storage: one header, then fixed-size records, each
// carrying its own check value, so that a torn or half-written tail left by
// a crash is recognised and ignored instead of misread.
#ifndef IOCHURN_JOURNAL_JOURNAL_FORMAT_H_
#define IOCHURN_JOURNAL_JOURNAL_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "config/run_settings.h"

namespace iochurn {

constexpr uint64_t kJournalMagic = 0x314c4e4a48434f49;  // "IOCHJNL1"
constexpr uint32_t kJournalVersion = 1;
constexpr uint32_t kRecordMagic = 0x3143524a;  // "JRC1"

// Bits of JournalHeader::flags.
enum JournalFlags : uint32_t {
  kJournalDurable = 1,     // a regular file: every commit was fdatasync'ed
  kJournalSyncWrites = 2,  // the run flushed every chunk (-y)
  kJournalDirect = 4,      // the run used direct I/O (-d)
};

// The first 512 bytes of a journal, little-endian as the processor stores
// it. Everything the check needs to name and judge the run's files.
struct JournalHeader {
  uint64_t magic;
  uint32_t version;
  uint32_t header_bytes;  // sizeof(JournalHeader)
  uint64_t run_id;        // the run id stamped into every block
  int64_t start_time_ns;  // wall clock
  uint32_t pid;
  uint32_t threads;
  uint32_t filecount;
  uint32_t buffer_bytes;
  uint64_t file_bytes;
  uint32_t verify_block;
  uint32_t flags;            // JournalFlags
  char host[64];             // terminated
  char workdir[kPathSize];   // absolute, terminated
  uint8_t reserved[120];
  uint64_t check;  // over every byte before it
};
static_assert(sizeof(JournalHeader) == 512);

// What a record says.
enum class RecordKind : uint8_t {
  kAck = 1,        // the file's bytes [0, length) of (generation, pass) are
                   // acknowledged durable
  kRetire = 2,     // the file no longer holds anything the journal expects
                   // (about to be deleted, truncated or renamed)
  kEmergency = 3,  // the emergency clean-up (-u) deletes the files now
};

struct JournalRecord {
  uint32_t magic;
  uint8_t kind;  // RecordKind
  uint8_t reserved[3];
  uint32_t thread;
  uint32_t slot;
  uint32_t generation;
  uint32_t pass;
  uint64_t sequence;  // 1 for the first record, then one more each
  uint64_t length;    // kAck: bytes acknowledged from the start; else 0
  uint64_t check;     // over the bytes before it, seeded with the run id
};
static_assert(sizeof(JournalRecord) == 48);

// Seals a header or a record: computes its check value. Any thread.
void seal_header(JournalHeader* h);
void seal_record(JournalRecord* r, uint64_t run_id);

// True when the bytes are a whole, valid header / a valid record of the
// journal of `run_id`. Any thread.
bool header_valid(const JournalHeader& h);
bool record_valid(const JournalRecord& r, uint64_t run_id);

// A record ready to append (not sealed: the sequence comes at append).
JournalRecord make_record(RecordKind kind, int thread, int slot,
                          uint32_t generation, uint32_t pass, uint64_t length);

// What reading a whole journal found.
struct JournalScan {
  JournalHeader header;
  std::vector<JournalRecord> records;  // the valid run, in order
  uint64_t valid_bytes;     // header plus the valid records
  uint64_t ignored_bytes;   // a torn tail after them
  bool damaged;             // valid records follow an invalid one: the rest
                            // of the journal cannot be trusted
};

// Results of scan_journal.
enum class ScanResult {
  kOk,          // a header and the valid records after it
  kNoHeader,    // shorter than a header, or its check value fails
  kBadVersion,  // a header of another format version
};

// Reads a journal held in memory. The records run from the header to the
// first record that is not valid or out of sequence; what follows is a
// torn tail and ignored, unless a valid record of a later sequence lies
// beyond it (then `damaged`). Any thread.
ScanResult scan_journal(const uint8_t* data, size_t size, JournalScan* out);

// What the journal expects of one file name (thread, slot) once every
// record is taken in order.
struct SlotExpectation {
  bool acknowledged;  // an acknowledgment with no retirement after it
  uint32_t generation;
  uint32_t pass;
  uint64_t length;    // bytes acknowledged
};

// The fold of a scan: one entry per thread x filecount (thread-major).
struct JournalState {
  std::vector<SlotExpectation> slots;
  int threads;
  int filecount;
  bool emergency;  // the emergency clean-up deleted files
};

// Folds the records of `scan` into what the journal expects. Records of
// threads or slots outside the header's counts are skipped. Any thread.
void fold_journal(const JournalScan& scan, JournalState* out);

}  // namespace iochurn

#endif  // IOCHURN_JOURNAL_JOURNAL_FORMAT_H_
