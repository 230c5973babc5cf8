// The journal writer end to end on a regular file: batching, retirements
// that wait for their commit, and a file the scanner reads back whole.
#include "journal/journal.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace iochurn {
namespace {

std::vector<uint8_t> read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The writer is process-wide and opened once, so one test walks it through.
TEST(Journal, AcksBatchRetirementsWaitAndTheFileReadsBack) {
  testing_support::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("run.journal");
  JournalHeader h{};
  h.magic = kJournalMagic;
  h.version = kJournalVersion;
  h.header_bytes = sizeof h;
  h.run_id = 77;
  h.threads = 2;
  h.filecount = 2;
  h.verify_block = 4096;
  ASSERT_EQ(journal_open(path.c_str(), h), 0);
  EXPECT_TRUE(journal_enabled());
  EXPECT_TRUE(journal_durable());

  // Nothing acknowledged: a retirement has nothing to wait for.
  EXPECT_FALSE(journal_holds(0, 0));
  EXPECT_TRUE(journal_retire(0, 0, 0));

  journal_ack(0, 0, 1, 1, 4096);
  journal_ack(0, 0, 1, 1, 4096);  // covered already: no second record
  journal_ack(0, 0, 1, 1, 8192);
  journal_ack(1, 1, 1, 1, 4096);
  EXPECT_TRUE(journal_holds(0, 0));
  EXPECT_TRUE(journal_retire(0, 0, kRetireWaitMs));
  EXPECT_FALSE(journal_holds(0, 0));
  // Committed means on the file, before the retirement returned.
  JournalScan scan;
  std::vector<uint8_t> bytes = read_all(path);
  ASSERT_EQ(scan_journal(bytes.data(), bytes.size(), &scan), ScanResult::kOk);
  EXPECT_TRUE((scan.header.flags & kJournalDurable) != 0);
  ASSERT_EQ(scan.records.size(), 4u);
  EXPECT_EQ(scan.records[3].kind, static_cast<uint8_t>(RecordKind::kRetire));

  journal_ack(0, 1, 2, 1, 4096);
  EXPECT_TRUE(journal_emergency(kEmergencyWaitMs));
  EXPECT_TRUE(journal_retire_all(2, kRetireWaitMs));
  journal_close();
  EXPECT_FALSE(journal_enabled());

  bytes = read_all(path);
  ASSERT_EQ(scan_journal(bytes.data(), bytes.size(), &scan), ScanResult::kOk);
  EXPECT_EQ(scan.ignored_bytes, 0u);
  JournalState state;
  fold_journal(scan, &state);
  EXPECT_TRUE(state.emergency);
  for (const SlotExpectation& e : state.slots) EXPECT_FALSE(e.acknowledged);
  // Two retirements by retire_all (1,1 and 0,1), after the emergency.
  ASSERT_EQ(scan.records.size(), 8u);
  EXPECT_EQ(scan.records[5].kind, static_cast<uint8_t>(RecordKind::kEmergency));
}

}  // namespace
}  // namespace iochurn
