// Names of the calls.
#include "platform/op.h"

namespace iochurn {

const char* op_name(Op op) {
  static const char* const kNames[kOpCount] = {
      "none", "open", "seek/w", "write", "sync",  "seek/r",
      "read", "chksum", "verify", "malloc", "close", "unlink"};
  int i = static_cast<int>(op);
  return i >= 0 && i < kOpCount ? kNames[i] : "none";
}

}  // namespace iochurn
