// The calls a worker makes, as the run record, the hang lines and the
// report name them.
#ifndef IOCHURN_PLATFORM_OP_H_
#define IOCHURN_PLATFORM_OP_H_

#include <cstdint>

namespace iochurn {

// Operations as reports name them.
enum class Op : uint8_t {
  kNone = 0,
  kOpen,
  kSeekW,
  kWrite,
  kSync,
  kSeekR,
  kRead,
  kChksum,
  kVerify,
  kMalloc,
  kClose,
  kUnlink,
  kCount
};
constexpr int kOpCount = static_cast<int>(Op::kCount);

// "open", "seek/w", "write", "sync", "seek/r", "read", "chksum", "verify",
// "malloc", "close", "unlink"; "none" for kNone.
const char* op_name(Op op);

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_OP_H_
