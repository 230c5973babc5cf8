// The additive checksum: the byte values summed modulo 2^32.
#ifndef IOCHURN_VERIFY_ADDITIVE_SUM_H_
#define IOCHURN_VERIFY_ADDITIVE_SUM_H_

#include <cstddef>
#include <cstdint>

namespace iochurn {

// Sum of the `bytes` byte values at `data`, wrapping modulo 2^32, at memory
// speed (the fastest kernel this processor runs). Any thread.
uint32_t additive_sum(const uint8_t* data, size_t bytes);

// The same sum one byte at a time: the reference the kernels must match.
uint32_t additive_sum_bytewise(const uint8_t* data, size_t bytes);

// The individual kernels, for tests and benchmarks. additive_sum_avx2 may
// only be called when avx2_available() is true.
uint32_t additive_sum_sse2(const uint8_t* data, size_t bytes);
uint32_t additive_sum_avx2(const uint8_t* data, size_t bytes);
bool avx2_available();

}  // namespace iochurn

#endif  // IOCHURN_VERIFY_ADDITIVE_SUM_H_
