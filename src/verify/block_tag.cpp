// Stamping and checking tagged blocks.
#include "verify/block_tag.h"

#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "verify/additive_sum.h"
#include "verify/check_value.h"

namespace iochurn {

uint64_t block_run_id;

namespace {

constexpr uint32_t kCheckedHeaderBytes = offsetof(BlockHeader, check);

BlockHeader header_for(const BlockIdentity& id, uint64_t offset) {
  BlockHeader h{};
  h.magic = kBlockMagic;
  h.run_id = id.run_id;
  h.pid = id.pid;
  h.thread = id.thread;
  h.generation = id.generation;
  h.slot = id.slot;
  h.pass = id.pass;
  h.offset = offset;
  return h;
}

// Blocks shorter than a header (only a file's last block can be) carry the
// first bytes of a header: they are compared, not check-summed.
bool is_short(uint32_t size) { return size < kBlockHeaderBytes; }

bool all_zero(const uint8_t* data, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i)
    if (data[i] != 0) return false;
  return true;
}

bool same_file_name(const BlockHeader& h, const BlockIdentity& id) {
  return h.run_id == id.run_id && h.pid == id.pid && h.thread == id.thread &&
         h.slot == id.slot;
}

// A block read at `file_offset` whose bytes came from `shift` bytes on
// carries, at position p inside it, the header of the block written at
// file_offset + shift + p. Only the header's fixed fields can be checked:
// the rest of that block lies outside this one. Returns the shift, or 0.
int64_t find_shift(const uint8_t* block, uint32_t size, uint64_t file_offset,
                   const BlockIdentity& expected) {
  for (uint32_t p = kShiftStep; p + kBlockHeaderBytes <= size; p += kShiftStep) {
    BlockHeader h;
    std::memcpy(&h, block + p, sizeof h);
    if (h.magic != kBlockMagic || !same_file_name(h, expected) ||
        h.generation != expected.generation || h.pass != expected.pass ||
        h.reserved != 0 || h.spare != 0)
      continue;
    auto shift = static_cast<int64_t>(h.offset - file_offset - p);
    if (shift != 0) return shift;
  }
  return 0;
}

}  // namespace

void choose_block_run_id() {
  uint64_t id = 0;
  if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) {
    // No entropy to be had: time and process still tell runs apart.
    id = static_cast<uint64_t>(
             std::chrono::system_clock::now().time_since_epoch().count()) ^
         (static_cast<uint64_t>(getpid()) << 32);
  }
  block_run_id = id;
}

uint64_t block_check(const uint8_t* block, uint32_t size) {
  return check_value(block, kCheckedHeaderBytes, block + kBlockHeaderBytes,
                     size - kBlockHeaderBytes);
}

uint32_t stamp_blocks(uint8_t* chunk, uint64_t bytes, uint64_t file_offset,
                      uint32_t block_size, const BlockIdentity& id) {
  uint32_t sum = 0;
  for (uint64_t at = 0; at < bytes; at += block_size) {
    uint64_t left = bytes - at;
    auto size = static_cast<uint32_t>(left < block_size ? left : block_size);
    BlockHeader h = header_for(id, file_offset + at);
    if (is_short(size)) {
      std::memcpy(chunk + at, &h, size);
    } else {
      std::memcpy(chunk + at, &h, kCheckedHeaderBytes);
      h.check = block_check(chunk + at, size);
      std::memcpy(chunk + at + kCheckedHeaderBytes, &h.check, sizeof h.check);
    }
    // Summed while the block is still in the nearest cache.
    sum += additive_sum(chunk + at, size);
  }
  return sum;
}

void poison_blocks(uint8_t* chunk, uint64_t bytes, uint32_t block_size) {
  BlockHeader poison;
  std::memset(&poison, 0xA5, sizeof poison);
  poison.magic = kPoisonMagic;
  for (uint64_t at = 0; at < bytes; at += block_size) {
    uint64_t left = bytes - at;
    auto size = static_cast<uint32_t>(left < block_size ? left : block_size);
    std::memcpy(chunk + at, &poison, is_short(size) ? size : sizeof poison);
  }
}

bool block_is_good(const uint8_t* block, uint32_t size, uint64_t file_offset,
                   const BlockIdentity& expected) {
  BlockHeader want = header_for(expected, file_offset);
  if (is_short(size)) return std::memcmp(block, &want, size) == 0;
  if (std::memcmp(block, &want, kCheckedHeaderBytes) != 0) return false;
  uint64_t stored;
  std::memcpy(&stored, block + kCheckedHeaderBytes, sizeof stored);
  return stored == block_check(block, size);
}

uint32_t check_blocks(const uint8_t* chunk, uint64_t bytes,
                      uint64_t file_offset, uint32_t block_size,
                      const BlockIdentity& id, BadBlocks* bad) {
  uint32_t sum = 0;
  for (uint64_t at = 0; at < bytes; at += block_size) {
    uint64_t left = bytes - at;
    auto size = static_cast<uint32_t>(left < block_size ? left : block_size);
    if (!block_is_good(chunk + at, size, file_offset + at, id)) {
      BlockFinding f = classify_block(chunk + at, size, file_offset + at, id);
      bad->by_kind[static_cast<int>(f.kind)]++;
      if (bad->count < kNamedBadBlocks) bad->named[bad->count] = f;
      bad->count++;
    }
    sum += additive_sum(chunk + at, size);
  }
  return sum;
}

BlockFinding classify_block(const uint8_t* block, uint32_t size,
                            uint64_t file_offset,
                            const BlockIdentity& expected) {
  BlockFinding f{};
  f.offset = file_offset;
  std::memcpy(&f.found, block, is_short(size) ? size : sizeof f.found);
  if (f.found.magic == kPoisonMagic ||
      (is_short(size) && size >= 8 &&
       std::memcmp(block, &kPoisonMagic, 8) == 0)) {
    f.kind = BlockKind::kUndelivered;
    return f;
  }
  if (all_zero(block, size)) {
    f.kind = BlockKind::kZeroed;
    return f;
  }
  if (is_short(size)) {
    // Too short to carry a check value: it differs, and that is all.
    f.kind = BlockKind::kCorrupt;
    return f;
  }
  const BlockHeader& h = f.found;
  f.computed = block_check(block, size);
  bool valid = h.magic == kBlockMagic && h.check == f.computed;
  bool names_this_file = same_file_name(h, expected) &&
                         h.generation == expected.generation &&
                         h.pass == expected.pass;
  if (!valid) {
    if (names_this_file && h.offset == file_offset) {
      f.kind = BlockKind::kCorrupt;
      return f;
    }
    f.shift = h.magic == kBlockMagic ? 0 : find_shift(block, size, file_offset, expected);
    f.kind = f.shift != 0 ? BlockKind::kShifted : BlockKind::kUnrecognised;
    return f;
  }
  if (names_this_file)
    f.kind = h.offset != file_offset ? BlockKind::kMisplaced
                                     : BlockKind::kCorrupt;  // cannot be valid
  else if (same_file_name(h, expected))
    f.kind = BlockKind::kStale;
  else
    f.kind = BlockKind::kForeign;
  return f;
}

BlockFinding missing_finding(uint64_t data_end, uint64_t missing) {
  BlockFinding f{};
  f.kind = BlockKind::kMissing;
  f.offset = data_end;
  f.missing = missing;
  return f;
}

void describe_finding(const BlockFinding& f, char* out, size_t size) {
  const BlockHeader& h = f.found;
  switch (f.kind) {
    case BlockKind::kUndelivered:
    case BlockKind::kZeroed:
      if (size > 0) out[0] = '\0';
      return;
    case BlockKind::kCorrupt:
      // The check value stored in the block, and the one its bytes give.
      std::snprintf(out, size,
                    " (found: check=%016" PRIx64 " expected=%016" PRIx64 ")",
                    h.check, f.computed);
      return;
    case BlockKind::kUnrecognised:
      std::snprintf(out, size,
                    " (found: magic=%016" PRIx64 " check=%016" PRIx64
                    " expected=%016" PRIx64 ")",
                    h.magic, h.check, f.computed);
      return;
    case BlockKind::kMisplaced:
      std::snprintf(out, size, " (found: offset=%" PRIu64 ")", h.offset);
      return;
    case BlockKind::kShifted:
      std::snprintf(out, size, " (found: shifted by %" PRId64 " bytes)", f.shift);
      return;
    case BlockKind::kMissing:
      std::snprintf(out, size, " (found: the data ends here, %" PRIu64 " bytes missing)",
                    f.missing);
      return;
    default:
      std::snprintf(out, size,
                    " (found: run=%016" PRIx64 " pid=%u thread=%u "
                    "generation=%u slot=%u pass=%u offset=%" PRIu64 ")",
                    h.run_id, h.pid, h.thread, h.generation, h.slot, h.pass,
                    h.offset);
      return;
  }
}

}  // namespace iochurn
