// Speed of the block check value candidates over a 4 MB buffer cut into
// 4 KiB blocks (the default verification block): XXH3 as the program builds
// it (SSE2 and AVX2), against crc32c with the processor's own instruction,
// one stream per block as a plain implementation runs it, and against
// ISA-L's crc32c where libisal-dev is installed.
#include <benchmark/benchmark.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#if defined(IOCHURN_HAVE_ISAL)
#include <isa-l/crc.h>
#endif

#include "verify/additive_sum.h"
#include "verify/check_value.h"

namespace {

constexpr size_t kBufferBytes = 4u << 20;
constexpr size_t kBlock = 4096;
constexpr size_t kHead = 56;

const std::vector<uint8_t>& buffer() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> v(kBufferBytes);
    std::mt19937 gen(54321);
    for (auto& b : v) b = static_cast<uint8_t>(gen());
    return v;
  }();
  return data;
}

template <uint64_t (*Check)(const uint8_t*, size_t, const uint8_t*, size_t)>
void run(benchmark::State& state) {
  const auto& data = buffer();
  uint64_t folded = 0;
  for (auto _ : state) {
    for (size_t at = 0; at < data.size(); at += kBlock)
      folded ^= Check(&data[at], kHead, &data[at + 64], kBlock - 64);
    benchmark::DoNotOptimize(folded);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint64_t crc32c_feed(uint64_t crc,
                                                       const uint8_t* p,
                                                       size_t n) {
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    crc = _mm_crc32_u64(crc, word);
  }
  for (; n > 0; --n, ++p) crc = _mm_crc32_u8(static_cast<uint32_t>(crc), *p);
  return crc;
}

uint64_t crc32c_hw(const uint8_t* head, size_t head_bytes, const uint8_t* body,
                   size_t body_bytes) {
  return ~crc32c_feed(crc32c_feed(~0ull, head, head_bytes), body, body_bytes);
}
#endif

void BM_xxh3_sse2(benchmark::State& state) { run<iochurn::check_value_sse2>(state); }
BENCHMARK(BM_xxh3_sse2);

void BM_xxh3_avx2(benchmark::State& state) {
  if (!iochurn::avx2_available()) {
    state.SkipWithError("no AVX2");
    return;
  }
  run<iochurn::check_value_avx2>(state);
}
BENCHMARK(BM_xxh3_avx2);

#if defined(__x86_64__)
void BM_crc32c_hw(benchmark::State& state) {
  if (!__builtin_cpu_supports("sse4.2")) {
    state.SkipWithError("no SSE4.2");
    return;
  }
  run<crc32c_hw>(state);
}
BENCHMARK(BM_crc32c_hw);
#endif

#if defined(IOCHURN_HAVE_ISAL)
uint64_t crc32c_isal(const uint8_t* head, size_t head_bytes,
                     const uint8_t* body, size_t body_bytes) {
  unsigned crc = crc32_iscsi(const_cast<uint8_t*>(head),
                             static_cast<int>(head_bytes), ~0u);
  return crc32_iscsi(const_cast<uint8_t*>(body), static_cast<int>(body_bytes),
                     crc);
}
void BM_crc32c_isal(benchmark::State& state) { run<crc32c_isal>(state); }
BENCHMARK(BM_crc32c_isal);
#endif

}  // namespace

BENCHMARK_MAIN();
