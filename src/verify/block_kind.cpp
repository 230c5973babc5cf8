// The table of the kinds of bad blocks.
#include "verify/block_kind.h"

namespace iochurn {

const BlockKindInfo& block_kind_info(BlockKind kind) {
  // The one table of kinds. A block is classified by trying the kinds in
  // `order`; the first that fits names it.
  static const BlockKindInfo kKinds[kBlockKindCount] = {
      {"undelivered", 0, kFoundByVerify,
       "a read reported bytes it never delivered"},
      {"zeroed", 2, kFoundByVerify | kFoundByCheck,
       "every byte is zero: a hole, or data the storage dropped"},
      {"corrupt", 3, kFoundByVerify | kFoundByCheck,
       "the tag names this block, but its check value fails"},
      {"misplaced", 5, kFoundByVerify | kFoundByCheck,
       "a valid block of this file, written for another offset"},
      {"stale", 6, kFoundByVerify,
       "a valid block of this file name from an earlier pass or generation"},
      {"foreign", 8, kFoundByVerify | kFoundByCheck,
       "a valid block of another file, worker, process or run"},
      {"unrecognised", 10, kFoundByVerify | kFoundByCheck,
       "no valid tag at all"},
      {"shifted", 9, kFoundByVerify | kFoundByCheck,
       "this block's own header found elsewhere inside it: the data moved"},
      {"missing", 1, kFoundByVerify | kFoundByCheck,
       "the file is gone, or ends before the written or acknowledged length"},
      {"torn", 4, kFoundByCheck,
       "the head of a newer, unacknowledged write over the acknowledged "
       "block"},
      {"lost", 7, kFoundByCheck,
       "a valid block of an older pass or generation: the acknowledged "
       "write did not survive"},
  };
  int i = static_cast<int>(kind);
  if (i < 0 || i >= kBlockKindCount) i = static_cast<int>(BlockKind::kUnrecognised);
  return kKinds[i];
}

const char* block_kind_name(BlockKind kind) {
  return block_kind_info(kind).name;
}

}  // namespace iochurn
