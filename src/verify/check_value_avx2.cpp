// XXH3 built for AVX2: this file alone is compiled with -mavx2 and is only
// called where the processor has it. xxHash's inline build makes every
// function file-local, so the two builds never meet.
#include "verify/check_value.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace iochurn {

uint64_t check_value_avx2(const uint8_t* head, size_t head_bytes,
                          const uint8_t* body, size_t body_bytes) {
  uint64_t value =
      XXH3_64bits_withSeed(body, body_bytes, XXH3_64bits(head, head_bytes));
#if defined(__AVX2__)
  // Dirty upper halves would slow the caller's later SSE code.
  _mm256_zeroupper();
#endif
  return value;
}

}  // namespace iochurn
