// Vectorised additive sum: psadbw adds 8 bytes at a time into 64-bit lanes,
// which cannot overflow for any buffer a run can have.
#include "verify/additive_sum.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace iochurn {

uint32_t additive_sum_bytewise(const uint8_t* data, size_t bytes) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes; ++i) sum += data[i];
  return sum;
}

#if defined(__x86_64__)

uint32_t additive_sum_sse2(const uint8_t* data, size_t bytes) {
  const __m128i zero = _mm_setzero_si128();
  __m128i acc0 = zero, acc1 = zero;
  size_t i = 0;
  for (; i + 32 <= bytes; i += 32) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    __m128i b =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16));
    acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(a, zero));
    acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(b, zero));
  }
  for (; i + 16 <= bytes; i += 16) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(a, zero));
  }
  __m128i acc = _mm_add_epi64(acc0, acc1);
  uint64_t lanes = static_cast<uint64_t>(_mm_cvtsi128_si64(acc)) +
                   static_cast<uint64_t>(
                       _mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
  return static_cast<uint32_t>(lanes) + additive_sum_bytewise(data + i, bytes - i);
}

__attribute__((target("avx2"))) uint32_t additive_sum_avx2(const uint8_t* data,
                                                            size_t bytes) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i acc0 = zero, acc1 = zero;
  size_t i = 0;
  for (; i + 64 <= bytes; i += 64) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    __m256i b =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 32));
    acc0 = _mm256_add_epi64(acc0, _mm256_sad_epu8(a, zero));
    acc1 = _mm256_add_epi64(acc1, _mm256_sad_epu8(b, zero));
  }
  __m256i acc = _mm256_add_epi64(acc0, acc1);
  __m128i half = _mm_add_epi64(_mm256_castsi256_si128(acc),
                               _mm256_extracti128_si256(acc, 1));
  uint64_t lanes = static_cast<uint64_t>(_mm_cvtsi128_si64(half)) +
                   static_cast<uint64_t>(
                       _mm_cvtsi128_si64(_mm_unpackhi_epi64(half, half)));
  // Leaving the upper halves dirty would slow every later SSE instruction
  // of this thread, the tail's included.
  _mm256_zeroupper();
  return static_cast<uint32_t>(lanes) + additive_sum_sse2(data + i, bytes - i);
}

bool avx2_available() { return __builtin_cpu_supports("avx2"); }

uint32_t additive_sum(const uint8_t* data, size_t bytes) {
  static const bool use_avx2 = avx2_available();
  return use_avx2 ? additive_sum_avx2(data, bytes)
                  : additive_sum_sse2(data, bytes);
}

#else

uint32_t additive_sum_sse2(const uint8_t* data, size_t bytes) {
  return additive_sum_bytewise(data, bytes);
}
uint32_t additive_sum_avx2(const uint8_t* data, size_t bytes) {
  return additive_sum_bytewise(data, bytes);
}
bool avx2_available() { return false; }

// Other processors: the compiler vectorises the plain loop as it can.
uint32_t additive_sum(const uint8_t* data, size_t bytes) {
  return additive_sum_bytewise(data, bytes);
}

#endif

}  // namespace iochurn
