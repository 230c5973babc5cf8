// The check value of a tagged block: XXH3 (64 bits) from the distribution's
// xxHash, over the header's first bytes and the payload, with the fastest
// vector unit this processor has.
#ifndef IOCHURN_VERIFY_CHECK_VALUE_H_
#define IOCHURN_VERIFY_CHECK_VALUE_H_

#include <cstddef>
#include <cstdint>

namespace iochurn {

// XXH3 of `body` seeded with XXH3 of `head`: one value covers both without
// copying them together. Any thread.
uint64_t check_value(const uint8_t* head, size_t head_bytes,
                     const uint8_t* body, size_t body_bytes);

// The same with the SSE2 and AVX2 builds of XXH3, for tests and benchmarks
// (check_value_avx2 only where avx2_available()).
uint64_t check_value_sse2(const uint8_t* head, size_t head_bytes,
                          const uint8_t* body, size_t body_bytes);
uint64_t check_value_avx2(const uint8_t* head, size_t head_bytes,
                          const uint8_t* body, size_t body_bytes);

}  // namespace iochurn

#endif  // IOCHURN_VERIFY_CHECK_VALUE_H_
