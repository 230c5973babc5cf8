// What a bad block turned out to be.
#ifndef IOCHURN_VERIFY_BLOCK_KIND_H_
#define IOCHURN_VERIFY_BLOCK_KIND_H_

#include <cstdint>

namespace iochurn {

// Kinds of bad blocks found by block verification, in classification order.
enum class BlockKind : uint8_t {
  kUndelivered = 0,
  kZeroed,
  kCorrupt,
  kMisplaced,
  kStale,
  kForeign,
  kUnrecognised,
  kCount
};
constexpr int kBlockKindCount = static_cast<int>(BlockKind::kCount);

// "undelivered", "zeroed", "corrupt", "misplaced", "stale", "foreign",
// "unrecognised".
const char* block_kind_name(BlockKind kind);

}  // namespace iochurn

#endif  // IOCHURN_VERIFY_BLOCK_KIND_H_
