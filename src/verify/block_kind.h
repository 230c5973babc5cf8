// What a bad block turned out to be.
#ifndef IOCHURN_VERIFY_BLOCK_KIND_H_
#define IOCHURN_VERIFY_BLOCK_KIND_H_

#include <cstdint>

namespace iochurn {

// Kinds of bad blocks found by block verification. The first seven in
// classification order; a shifted block is told apart from an unrecognised
// one when its header turns up inside it; missing is not a block but the
// range a file lost at its end (one finding per file).
enum class BlockKind : uint8_t {
  kUndelivered = 0,
  kZeroed,
  kCorrupt,
  kMisplaced,
  kStale,
  kForeign,
  kUnrecognised,
  kShifted,
  kMissing,
  kCount
};
constexpr int kBlockKindCount = static_cast<int>(BlockKind::kCount);

// "undelivered", "zeroed", "corrupt", "misplaced", "stale", "foreign",
// "unrecognised", "shifted", "missing".
const char* block_kind_name(BlockKind kind);

}  // namespace iochurn

#endif  // IOCHURN_VERIFY_BLOCK_KIND_H_
