// The journal's form: sealed records, the torn tail, damage, and the fold
// into what the journal still expects.
#include "journal/journal_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace iochurn {
namespace {

constexpr uint64_t kRun = 0xABCDEF0123456789ull;

JournalHeader header(uint32_t threads = 2, uint32_t filecount = 3) {
  JournalHeader h{};
  h.magic = kJournalMagic;
  h.version = kJournalVersion;
  h.header_bytes = sizeof h;
  h.run_id = kRun;
  h.threads = threads;
  h.filecount = filecount;
  h.verify_block = 4096;
  seal_header(&h);
  return h;
}

// A journal in memory: the header, then records sealed in sequence.
struct Built {
  std::vector<uint8_t> bytes;
  uint64_t sequence = 0;

  explicit Built(const JournalHeader& h) {
    const auto* p = reinterpret_cast<const uint8_t*>(&h);
    bytes.assign(p, p + sizeof h);
  }
  void add(RecordKind kind, int thread, int slot, uint32_t gen, uint32_t pass,
           uint64_t length) {
    JournalRecord r = make_record(kind, thread, slot, gen, pass, length);
    r.sequence = ++sequence;
    seal_record(&r, kRun);
    const auto* p = reinterpret_cast<const uint8_t*>(&r);
    bytes.insert(bytes.end(), p, p + sizeof r);
  }
};

TEST(JournalFormat, SealedHeaderAndRecordsCheckAndAnyChangeFails) {
  JournalHeader h = header();
  EXPECT_TRUE(header_valid(h));
  h.filecount++;
  EXPECT_FALSE(header_valid(h));

  JournalRecord r = make_record(RecordKind::kAck, 1, 2, 3, 4, 5);
  r.sequence = 9;
  seal_record(&r, kRun);
  EXPECT_TRUE(record_valid(r, kRun));
  // Bound to its journal's run.
  EXPECT_FALSE(record_valid(r, kRun + 1));
  JournalRecord changed = r;
  changed.length = 6;
  EXPECT_FALSE(record_valid(changed, kRun));
  changed = r;
  changed.sequence = 10;
  EXPECT_FALSE(record_valid(changed, kRun));
}

TEST(JournalFormat, ScanStopsAtATornTailAndIgnoresIt) {
  Built b(header());
  for (int i = 0; i < 5; ++i) b.add(RecordKind::kAck, 0, 0, 1, 1, (i + 1) * 4096);
  JournalScan scan;
  ASSERT_EQ(scan_journal(b.bytes.data(), b.bytes.size(), &scan), ScanResult::kOk);
  EXPECT_EQ(scan.records.size(), 5u);
  EXPECT_EQ(scan.valid_bytes, b.bytes.size());
  EXPECT_FALSE(scan.damaged);

  // Every cut inside the records keeps exactly the whole ones before it.
  for (size_t cut = sizeof(JournalHeader); cut < b.bytes.size(); cut += 7) {
    ASSERT_EQ(scan_journal(b.bytes.data(), cut, &scan), ScanResult::kOk);
    size_t whole = (cut - sizeof(JournalHeader)) / sizeof(JournalRecord);
    EXPECT_EQ(scan.records.size(), whole) << cut;
    EXPECT_EQ(scan.ignored_bytes, cut - scan.valid_bytes);
    EXPECT_FALSE(scan.damaged) << cut;
  }
  // A half-written last record: garbage or zeros where it should be.
  std::vector<uint8_t> torn = b.bytes;
  std::memset(&torn[torn.size() - 20], 0, 20);
  ASSERT_EQ(scan_journal(torn.data(), torn.size(), &scan), ScanResult::kOk);
  EXPECT_EQ(scan.records.size(), 4u);
  EXPECT_FALSE(scan.damaged);
}

TEST(JournalFormat, ValidRecordsBeyondABadOneAreDamage) {
  Built b(header());
  for (int i = 0; i < 4; ++i) b.add(RecordKind::kAck, 0, 1, 1, 1, 4096);
  std::vector<uint8_t> bytes = b.bytes;
  bytes[sizeof(JournalHeader) + sizeof(JournalRecord) + 12] ^= 1;
  JournalScan scan;
  ASSERT_EQ(scan_journal(bytes.data(), bytes.size(), &scan), ScanResult::kOk);
  EXPECT_EQ(scan.records.size(), 1u);
  EXPECT_TRUE(scan.damaged);
  // A record out of sequence ends the valid run too.
  Built gap(header());
  gap.add(RecordKind::kAck, 0, 0, 1, 1, 4096);
  gap.sequence++;
  gap.add(RecordKind::kAck, 0, 0, 1, 1, 8192);
  ASSERT_EQ(scan_journal(gap.bytes.data(), gap.bytes.size(), &scan), ScanResult::kOk);
  EXPECT_EQ(scan.records.size(), 1u);
}

TEST(JournalFormat, HeadersThatCannotBeUsedAreRefused) {
  JournalHeader h = header();
  JournalScan scan;
  const auto* p = reinterpret_cast<const uint8_t*>(&h);
  EXPECT_EQ(scan_journal(p, sizeof h - 1, &scan), ScanResult::kNoHeader);
  JournalHeader other = h;
  other.version = 2;
  seal_header(&other);
  EXPECT_EQ(scan_journal(reinterpret_cast<const uint8_t*>(&other), sizeof other, &scan),
            ScanResult::kBadVersion);
  std::vector<uint8_t> bytes(p, p + sizeof h);
  bytes[100] ^= 0x40;
  EXPECT_EQ(scan_journal(bytes.data(), bytes.size(), &scan), ScanResult::kNoHeader);
}

TEST(JournalFormat, FoldKeepsTheLastAcknowledgmentUntilItsRetirement) {
  Built b(header(2, 3));
  b.add(RecordKind::kAck, 0, 0, 1, 1, 4096);
  b.add(RecordKind::kAck, 0, 0, 1, 1, 8192);
  b.add(RecordKind::kAck, 1, 2, 1, 1, 4096);
  b.add(RecordKind::kRetire, 0, 0, 1, 1, 0);
  b.add(RecordKind::kAck, 0, 0, 1, 2, 4096);   // the next pass, shorter
  b.add(RecordKind::kAck, 0, 1, 1, 1, 4096);
  b.add(RecordKind::kRetire, 0, 1, 1, 1, 0);
  b.add(RecordKind::kAck, 5, 0, 1, 1, 4096);   // outside the header's counts
  JournalScan scan;
  ASSERT_EQ(scan_journal(b.bytes.data(), b.bytes.size(), &scan), ScanResult::kOk);
  JournalState state;
  fold_journal(scan, &state);
  ASSERT_EQ(state.slots.size(), 6u);
  const SlotExpectation& a = state.slots[0];
  EXPECT_TRUE(a.acknowledged);
  EXPECT_EQ(a.pass, 2u);
  EXPECT_EQ(a.length, 4096u);
  EXPECT_FALSE(state.slots[1].acknowledged);
  EXPECT_TRUE(state.slots[1 * 3 + 2].acknowledged);
  EXPECT_FALSE(state.emergency);
  b.add(RecordKind::kEmergency, 0, 0, 0, 0, 0);
  ASSERT_EQ(scan_journal(b.bytes.data(), b.bytes.size(), &scan), ScanResult::kOk);
  fold_journal(scan, &state);
  EXPECT_TRUE(state.emergency);
}

}  // namespace
}  // namespace iochurn
