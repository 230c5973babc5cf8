// Tagged blocks: every block written carries a header that says which run,
// process, worker, generation, slot, pass and file offset it was written
// for, and a check value over the whole block, so that a block read back
// can be told apart from every other block the run or another run wrote.
#ifndef IOCHURN_VERIFY_BLOCK_TAG_H_
#define IOCHURN_VERIFY_BLOCK_TAG_H_

#include <cstddef>
#include <cstdint>

#include "verify/block_kind.h"

namespace iochurn {

// The header at the start of every block, little-endian as the processor
// stores it. A block shorter than the header (a file's tail) has none and
// is checked byte for byte against zero-free expectations: see
// classify_block.
struct BlockHeader {
  uint64_t magic;
  uint64_t run_id;
  uint32_t pid;
  uint32_t thread;
  uint32_t generation;
  uint32_t slot;
  uint32_t pass;
  uint32_t reserved;
  uint64_t offset;  // byte offset of the block in its file
  uint64_t spare;   // zero
  uint64_t check;   // over the header's first 56 bytes and the payload
};
static_assert(sizeof(BlockHeader) == 64);
constexpr uint32_t kBlockHeaderBytes = sizeof(BlockHeader);

constexpr uint64_t kBlockMagic = 0x314b4c4248434f49;   // "IOCHBLK1"
constexpr uint64_t kPoisonMagic = 0x4e53494f50484349;  // "ICHPOISN"

// What the blocks of one file are stamped with in one pass.
struct BlockIdentity {
  uint64_t run_id;
  uint32_t pid;
  uint32_t thread;
  uint32_t generation;
  uint32_t slot;
  uint32_t pass;
};

// The identifier of this run: random, drawn once at start-up.
// Written by start-up before any worker runs; read by workers.
extern uint64_t block_run_id;

// Draws block_run_id. Main thread, before any worker starts.
void choose_block_run_id();

// Check value of a block of `size` bytes whose header sits at its start.
uint64_t block_check(const uint8_t* block, uint32_t size);

// Stamps every block of the chunk at `chunk` (`bytes` long, starting at
// byte `file_offset` of the file, which is a multiple of `block_size`):
// writes its header and its check value. The payload keeps its fill.
// Returns the additive sum of the stamped chunk, taken block by block while
// each is in the nearest cache.
uint32_t stamp_blocks(uint8_t* chunk, uint64_t bytes, uint64_t file_offset,
                      uint32_t block_size, const BlockIdentity& id);

// Overwrites the header place of every block of the destination chunk with
// the poison header, so that bytes a read reports but does not deliver are
// found.
void poison_blocks(uint8_t* chunk, uint64_t bytes, uint32_t block_size);

// What a bad block was found to be.
struct BlockFinding {
  BlockKind kind;
  uint64_t offset;       // where it was read; for missing, where data ends
  BlockHeader found;     // the header read there
  uint64_t computed;     // the check value of what was read
  int64_t shift;         // shifted: the block came from this many bytes on
  uint64_t missing;      // missing: the bytes lost from `offset` on
};

// The step at which a shifted block's header is looked for inside it: the
// smallest unit a device or a file system moves data by.
constexpr uint32_t kShiftStep = 512;

// True when the block read at `file_offset` is exactly what `expected`
// wrote there. The fast path: one header compare and one check value.
bool block_is_good(const uint8_t* block, uint32_t size, uint64_t file_offset,
                   const BlockIdentity& expected);

// The bad blocks of one file in one pass: the first few named, all counted.
constexpr int kNamedBadBlocks = 8;
struct BadBlocks {
  uint32_t count;
  uint32_t by_kind[kBlockKindCount];  // every bad block, classified
  BlockFinding named[kNamedBadBlocks];
};

// Checks every block of a chunk just read at `file_offset`; bad ones are
// classified and counted by kind in `*bad`, the first kNamedBadBlocks of
// the file kept whole. Classifying costs only on bad blocks.
// Returns the additive sum of the chunk, taken block by block while each is
// in the nearest cache.
uint32_t check_blocks(const uint8_t* chunk, uint64_t bytes,
                      uint64_t file_offset, uint32_t block_size,
                      const BlockIdentity& id, BadBlocks* bad);

// Classifies a block that is not good, in this order: undelivered (the
// poison header is still there), zeroed (every byte zero), corrupt (the
// header names this block but the check value fails), misplaced (a valid
// block of this file for another offset), stale (a valid block of this
// file's name from an earlier pass or generation), foreign (a valid block
// of another file, worker, process or run), shifted (no header at the
// block's start, but one of this file's at a kShiftStep step inside it, for
// the offset the shift predicts), unrecognised.
BlockFinding classify_block(const uint8_t* block, uint32_t size,
                            uint64_t file_offset,
                            const BlockIdentity& expected);

// The finding for a file whose data ends at `data_end`, `missing` bytes
// short of where it should.
BlockFinding missing_finding(uint64_t data_end, uint64_t missing);

// Formats the " (found: ...)" part of a report line for `finding` into
// `out` (empty for zeroed and undelivered blocks).
void describe_finding(const BlockFinding& finding, char* out, size_t size);

}  // namespace iochurn

#endif  // IOCHURN_VERIFY_BLOCK_TAG_H_
