// What a bad block turned out to be.
#ifndef IOCHURN_VERIFY_BLOCK_KIND_H_
#define IOCHURN_VERIFY_BLOCK_KIND_H_

#include <cstdint>

namespace iochurn {

// Kinds of bad blocks, shared by block verification and the journal check.
// The first nine are block verification's (a shifted block is told apart
// from an unrecognised one when its header turns up inside it; missing is
// not a block but the range a file lost at its end, one finding per file);
// the last two only the journal check finds. The order in which a block is
// classified is the table's `order` (see block_kind_info), not the
// enumeration's.
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
  kTorn,
  kLost,
  kCount
};
constexpr int kBlockKindCount = static_cast<int>(BlockKind::kCount);
// Kinds block verification can find (and its report counts).
constexpr int kVerifyBlockKinds = static_cast<int>(BlockKind::kTorn);

// Where a kind is found.
enum KindScope : uint8_t {
  kFoundByVerify = 1,  // --verify=blocks
  kFoundByCheck = 2,   // --check-journal
};

// One row of the kind table: its name, its place in the order of
// classification (from 0), where it is found, and what it means.
struct BlockKindInfo {
  const char* name;
  int order;
  uint8_t scope;  // KindScope bits
  const char* meaning;
};

// The row of `kind` (the row of kUnrecognised for a value out of range).
const BlockKindInfo& block_kind_info(BlockKind kind);

// "undelivered", "zeroed", "corrupt", "misplaced", "stale", "foreign",
// "unrecognised", "shifted", "missing", "torn", "lost".
const char* block_kind_name(BlockKind kind);

}  // namespace iochurn

#endif  // IOCHURN_VERIFY_BLOCK_KIND_H_
