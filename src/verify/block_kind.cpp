// Names of the kinds of bad blocks.
#include "verify/block_kind.h"

namespace iochurn {

const char* block_kind_name(BlockKind kind) {
  static const char* const kNames[kBlockKindCount] = {
      "undelivered", "zeroed", "corrupt", "misplaced",
      "stale",       "foreign", "unrecognised", "shifted", "missing"};
  int i = static_cast<int>(kind);
  return i >= 0 && i < kBlockKindCount ? kNames[i] : "unrecognised";
}

}  // namespace iochurn
