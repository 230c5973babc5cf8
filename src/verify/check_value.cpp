// XXH3 built for the baseline vector unit (SSE2 on x86-64), and the choice
// between it and the AVX2 build at run time.
#include "verify/check_value.h"

#include "verify/additive_sum.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace iochurn {

uint64_t check_value_sse2(const uint8_t* head, size_t head_bytes,
                          const uint8_t* body, size_t body_bytes) {
  return XXH3_64bits_withSeed(body, body_bytes, XXH3_64bits(head, head_bytes));
}

uint64_t check_value(const uint8_t* head, size_t head_bytes,
                     const uint8_t* body, size_t body_bytes) {
  static const bool use_avx2 = avx2_available();
  return use_avx2 ? check_value_avx2(head, head_bytes, body, body_bytes)
                  : check_value_sse2(head, head_bytes, body, body_bytes);
}

}  // namespace iochurn
