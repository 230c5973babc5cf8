// Speed of the additive sum kernels on a 4 MB buffer (the default transfer
// size), against the byte-at-a-time loop as the project compiles it.
#include <benchmark/benchmark.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "verify/additive_sum.h"
#include "worker/slots.h"

namespace {

constexpr size_t kBufferBytes = 4u << 20;

const std::vector<uint8_t>& buffer() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> v(kBufferBytes);
    std::mt19937 gen(12345);
    for (auto& b : v) b = static_cast<uint8_t>(gen());
    return v;
  }();
  return data;
}

// Clears the upper halves of the vector registers. Each kernel is measured
// from a clean state, whatever ran before it in this process: legacy SSE code
// that runs while the upper halves are dirty pays for it on every
// instruction (see BM_sse2_after_avx2).
#if defined(__x86_64__)
__attribute__((target("avx"))) void clear_upper_avx() { _mm256_zeroupper(); }
void clear_upper_state() {
  if (__builtin_cpu_supports("avx")) clear_upper_avx();
}
#else
void clear_upper_state() {}
#endif

template <uint32_t (*Sum)(const uint8_t*, size_t)>
void run(benchmark::State& state) {
  const auto& data = buffer();
  clear_upper_state();
  const uint32_t expected = iochurn::additive_sum_bytewise(data.data(), data.size());
  uint32_t got = 0;
  for (auto _ : state) {
    got = Sum(data.data(), data.size());
    benchmark::DoNotOptimize(got);
    benchmark::ClobberMemory();
  }
  if (got != expected) state.SkipWithError("sum differs from the byte loop");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
}

void BM_naive(benchmark::State& state) { run<iochurn::additive_sum_bytewise>(state); }
void BM_kernel(benchmark::State& state) { run<iochurn::additive_sum>(state); }
void BM_sse2(benchmark::State& state) { run<iochurn::additive_sum_sse2>(state); }
void BM_avx2(benchmark::State& state) {
  if (!iochurn::avx2_available()) {
    state.SkipWithError("no AVX2 on this processor");
    for (auto _ : state) {
    }
    return;
  }
  run<iochurn::additive_sum_avx2>(state);
}

// The SSE2 kernel right after a short AVX2 sum, as happens when a program
// mixes the two: shows whether the AVX2 kernel leaves the upper halves of
// the registers dirty on return.
void BM_sse2_after_avx2(benchmark::State& state) {
  if (!iochurn::avx2_available()) {
    state.SkipWithError("no AVX2 on this processor");
    for (auto _ : state) {
    }
    return;
  }
  const auto& data = buffer();
  const uint32_t expected = iochurn::additive_sum_bytewise(data.data(), data.size());
  clear_upper_state();
  uint32_t got = 0;
  for (auto _ : state) {
    uint32_t head = iochurn::additive_sum_avx2(data.data(), 64);
    benchmark::DoNotOptimize(head);
    got = iochurn::additive_sum_sse2(data.data(), data.size());
    benchmark::DoNotOptimize(got);
    benchmark::ClobberMemory();
  }
  if (got != expected) state.SkipWithError("sum differs from the byte loop");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
}

// Random fill of a 4 MB buffer: srand + rand() per byte on the process-wide
// generator, whose lock every worker contends for, against the same
// sequence from a generator of the filling thread's own.
void BM_fill_libc_rand(benchmark::State& state) {
  std::vector<uint8_t> data(kBufferBytes);
  for (auto _ : state) {
    std::srand(12345);
    for (auto& b : data) b = static_cast<uint8_t>(std::rand());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
}

void BM_fill_own(benchmark::State& state) {
  std::vector<uint8_t> data(kBufferBytes);
  for (auto _ : state) {
    iochurn::fill_random(data.data(), data.size(), 12345);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
}

BENCHMARK(BM_fill_libc_rand)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_fill_own)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_naive);
BENCHMARK(BM_kernel);
BENCHMARK(BM_sse2);
BENCHMARK(BM_avx2);
BENCHMARK(BM_sse2_after_avx2);

}  // namespace

BENCHMARK_MAIN();
