// Tagged blocks: stamping, the fast check and the classifier on hand-made
// blocks of every kind.
#include "verify/block_tag.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace iochurn {
namespace {

constexpr uint32_t kBlock = 4096;

BlockIdentity identity(uint32_t thread = 3, uint32_t slot = 7,
                       uint32_t pass = 2, uint32_t generation = 1) {
  return {0x1122334455667788ull, 4242, thread, generation, slot, pass};
}

// A chunk of `blocks` blocks filled with `fill` and stamped for `offset`.
std::vector<uint8_t> stamped(const BlockIdentity& id, uint64_t offset,
                             int blocks = 4, uint8_t fill = 0x5A) {
  std::vector<uint8_t> chunk(static_cast<size_t>(blocks) * kBlock, fill);
  stamp_blocks(chunk.data(), chunk.size(), offset, kBlock, id);
  return chunk;
}

BlockKind kind_of(const uint8_t* block, uint64_t offset,
                  const BlockIdentity& id, uint32_t size = kBlock) {
  EXPECT_FALSE(block_is_good(block, size, offset, id));
  return classify_block(block, size, offset, id).kind;
}

TEST(BlockTag, StampedBlocksCheckGoodAtTheirOwnPlaceOnly) {
  BlockIdentity id = identity();
  auto chunk = stamped(id, 8 * kBlock);
  for (int b = 0; b < 4; ++b)
    EXPECT_TRUE(block_is_good(&chunk[b * kBlock], kBlock, (8 + b) * kBlock, id));
  // The payload keeps the fill the options asked for.
  EXPECT_EQ(chunk[kBlock - 1], 0x5A);
  EXPECT_EQ(chunk[kBlockHeaderBytes], 0x5A);
  // Any other identity or place fails the fast check.
  EXPECT_FALSE(block_is_good(&chunk[0], kBlock, 9 * kBlock, id));
  EXPECT_FALSE(block_is_good(&chunk[0], kBlock, 8 * kBlock, identity(3, 7, 3)));
  EXPECT_FALSE(block_is_good(&chunk[0], kBlock, 8 * kBlock, identity(4)));
}

TEST(BlockTag, EveryKindIsToldApartInOrder) {
  BlockIdentity id = identity();
  const uint64_t at = 2 * kBlock;
  auto good = stamped(id, 0);

  // undelivered: the poison is still there, even over zeros.
  std::vector<uint8_t> b(kBlock, 0);
  poison_blocks(b.data(), kBlock, kBlock);
  EXPECT_EQ(kind_of(b.data(), at, id), BlockKind::kUndelivered);

  // zeroed: a hole or a lost write.
  std::fill(b.begin(), b.end(), 0);
  EXPECT_EQ(kind_of(b.data(), at, id), BlockKind::kZeroed);

  // corrupt: the header names this block, one payload bit differs.
  std::memcpy(b.data(), &good[at], kBlock);
  b[1000] ^= 0x10;
  BlockFinding f = classify_block(b.data(), kBlock, at, id);
  EXPECT_EQ(f.kind, BlockKind::kCorrupt);
  EXPECT_NE(f.found.check, f.computed);

  // misplaced: a valid block of this file for another offset.
  f = classify_block(&good[0], kBlock, at, id);
  EXPECT_EQ(f.kind, BlockKind::kMisplaced);
  EXPECT_EQ(f.found.offset, 0u);

  // stale: this file name and offset from an earlier pass or generation.
  auto old_pass = stamped(identity(3, 7, 1), 0);
  EXPECT_EQ(kind_of(&old_pass[at], at, id), BlockKind::kStale);
  auto old_generation = stamped(identity(3, 7, 2, 0), 0);
  EXPECT_EQ(kind_of(&old_generation[at], at, id), BlockKind::kStale);

  // foreign: another slot, worker, process or run.
  auto other_slot = stamped(identity(3, 8), 0);
  EXPECT_EQ(kind_of(&other_slot[at], at, id), BlockKind::kForeign);
  auto other_worker = stamped(identity(4, 7), 0);
  EXPECT_EQ(kind_of(&other_worker[at], at, id), BlockKind::kForeign);
  BlockIdentity other_run = id;
  other_run.run_id ^= 1;
  auto foreign_run = stamped(other_run, 0);
  f = classify_block(&foreign_run[at], kBlock, at, id);
  EXPECT_EQ(f.kind, BlockKind::kForeign);
  EXPECT_EQ(f.found.run_id, other_run.run_id);

  // unrecognised: neither a valid block nor this block damaged.
  std::fill(b.begin(), b.end(), 0x33);
  EXPECT_EQ(kind_of(b.data(), at, id), BlockKind::kUnrecognised);
  // A damaged block of another file is no more than that.
  std::memcpy(b.data(), &other_slot[at], kBlock);
  b[2000] ^= 1;
  EXPECT_EQ(kind_of(b.data(), at, id), BlockKind::kUnrecognised);
}

TEST(BlockTag, HeaderDamageIsCaughtByTheCheckValue) {
  BlockIdentity id = identity();
  auto chunk = stamped(id, 0, 1);
  // A flipped bit in a field the fast path does not compare (spare).
  chunk[offsetof(BlockHeader, spare)] ^= 4;
  EXPECT_FALSE(block_is_good(chunk.data(), kBlock, 0, id));
  // A flipped bit in the check value itself.
  chunk = stamped(id, 0, 1);
  chunk[offsetof(BlockHeader, check)] ^= 1;
  EXPECT_EQ(kind_of(chunk.data(), 0, id), BlockKind::kCorrupt);
}

TEST(BlockTag, PartialLastBlockAndLargeBlocks) {
  BlockIdentity id = identity();
  // A chunk ending in a partial block (3.5 blocks): the tail is stamped and
  // checked like the others.
  std::vector<uint8_t> chunk(3 * kBlock + kBlock / 2, 0x11);
  stamp_blocks(chunk.data(), chunk.size(), 0, kBlock, id);
  EXPECT_TRUE(block_is_good(&chunk[3 * kBlock], kBlock / 2, 3 * kBlock, id));
  chunk[chunk.size() - 1] ^= 0x80;
  EXPECT_EQ(kind_of(&chunk[3 * kBlock], 3 * kBlock, id, kBlock / 2),
            BlockKind::kCorrupt);
  // Poison covers partial blocks too.
  poison_blocks(chunk.data(), chunk.size(), kBlock);
  EXPECT_EQ(kind_of(&chunk[3 * kBlock], 3 * kBlock, id, kBlock / 2),
            BlockKind::kUndelivered);
}

TEST(BlockTag, FindingsDescribeWhatWasFound) {
  BlockIdentity id = identity();
  auto good = stamped(id, 0);
  char text[192];
  describe_finding(classify_block(&good[0], kBlock, kBlock, id), text,
                   sizeof text);
  EXPECT_EQ(std::string(text), " (found: offset=0)");
  auto other = stamped(identity(9, 1, 5, 2), 0);
  describe_finding(classify_block(&other[kBlock], kBlock, kBlock, id), text,
                   sizeof text);
  EXPECT_EQ(std::string(text),
            " (found: run=1122334455667788 pid=4242 thread=9 generation=2 "
            "slot=1 pass=5 offset=4096)");
  std::vector<uint8_t> zero(kBlock, 0);
  describe_finding(classify_block(zero.data(), kBlock, 0, id), text,
                   sizeof text);
  EXPECT_EQ(std::string(text), "");
}

TEST(BlockTag, ShiftedBlocksAreNamedWithTheirShift) {
  BlockIdentity id = identity();
  auto file = stamped(id, 0, 8);
  char text[192];
  // Delivered from 512 bytes further on: the next block's header shows at
  // 3584 inside every block of the run, and the shift is the same for each.
  for (uint64_t at : {kBlock, 5 * kBlock}) {
    BlockFinding f = classify_block(&file[at + kShiftStep], kBlock, at, id);
    EXPECT_EQ(f.kind, BlockKind::kShifted) << at;
    EXPECT_EQ(f.shift, int64_t{kShiftStep}) << at;
  }
  describe_finding(classify_block(&file[kBlock + kShiftStep], kBlock, kBlock, id),
                   text, sizeof text);
  EXPECT_EQ(std::string(text), " (found: shifted by 512 bytes)");
  // From 1536 bytes before: the block's own header sits at 1536.
  BlockFinding back = classify_block(&file[3 * kBlock - 1536], kBlock, 3 * kBlock, id);
  EXPECT_EQ(back.kind, BlockKind::kShifted);
  EXPECT_EQ(back.shift, -1536);
  // Another file's header inside proves no shift of this one.
  auto other = stamped(identity(9), 0, 8);
  EXPECT_EQ(kind_of(&other[kBlock + kShiftStep], kBlock, id), BlockKind::kUnrecognised);
  // Nor does this file's header of another pass.
  auto old = stamped(identity(3, 7, 1), 0, 8);
  EXPECT_EQ(kind_of(&old[kBlock + kShiftStep], kBlock, id), BlockKind::kUnrecognised);
  // Any header of this file inside names the shift: offset 0's header at
  // 512 inside the block read at 4096 means data from 4608 bytes before.
  std::vector<uint8_t> odd(kBlock, 0x33);
  std::memcpy(&odd[kShiftStep], &file[0], kBlockHeaderBytes);
  EXPECT_EQ(classify_block(odd.data(), kBlock, kBlock, id).shift, -4608);
}

TEST(BlockTag, MissingTailIsDescribedByItsLength) {
  char text[192];
  BlockFinding f = missing_finding(12 << 20, 4 << 20);
  EXPECT_EQ(f.kind, BlockKind::kMissing);
  EXPECT_EQ(f.offset, uint64_t{12} << 20);
  describe_finding(f, text, sizeof text);
  EXPECT_EQ(std::string(text), " (found: the data ends here, 4194304 bytes missing)");
  EXPECT_STREQ(block_kind_name(BlockKind::kMissing), "missing");
  EXPECT_STREQ(block_kind_name(BlockKind::kShifted), "shifted");
}

TEST(BlockTag, RunIdentifiersDiffer) {
  choose_block_run_id();
  uint64_t first = block_run_id;
  choose_block_run_id();
  EXPECT_NE(first, block_run_id);
}

}  // namespace
}  // namespace iochurn
