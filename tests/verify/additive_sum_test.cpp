// The vectorised sums must match the byte loop bit for bit.
#include "verify/additive_sum.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

namespace iochurn {
namespace {

TEST(AdditiveSum, KnownValuesAndWrapAround) {
  std::vector<uint8_t> ff(1u << 20, 0xFF);
  EXPECT_EQ(additive_sum(ff.data(), 0), 0u);
  EXPECT_EQ(additive_sum(ff.data(), 1), 255u);
  EXPECT_EQ(additive_sum(ff.data(), ff.size()), 255u * (1u << 20));
  // 16 MB of 0xFF bytes is 255 x 2^24, which wraps past 2^32.
  std::vector<uint8_t> big(16u << 20, 0xFF);
  uint64_t exact = 255ull * big.size();
  EXPECT_EQ(additive_sum(big.data(), big.size()),
            static_cast<uint32_t>(exact % (1ull << 32)));
  EXPECT_EQ(additive_sum_bytewise(big.data(), big.size()),
            additive_sum(big.data(), big.size()));
}

TEST(AdditiveSum, EveryKernelMatchesTheByteLoopAtEveryLengthAndAlignment) {
  std::mt19937 rng(12345);
  std::vector<uint8_t> data(1024 + 64);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  for (size_t offset = 0; offset < 33; ++offset) {
    for (size_t length = 0; length <= 600; ++length) {
      const uint8_t* p = data.data() + offset;
      uint32_t expected = additive_sum_bytewise(p, length);
      ASSERT_EQ(additive_sum(p, length), expected) << offset << "/" << length;
      ASSERT_EQ(additive_sum_sse2(p, length), expected) << offset << "/" << length;
      if (avx2_available()) {
        ASSERT_EQ(additive_sum_avx2(p, length), expected) << offset << "/" << length;
      }
    }
  }
}

TEST(AdditiveSum, LargeRandomBuffersWrapIdentically) {
  std::mt19937 rng(777);
  std::vector<uint8_t> data((32u << 20) + 13);
  for (auto& b : data) b = static_cast<uint8_t>(rng() | 0x80);
  uint32_t expected = additive_sum_bytewise(data.data(), data.size());
  EXPECT_EQ(additive_sum(data.data(), data.size()), expected);
  EXPECT_EQ(additive_sum_sse2(data.data() + 1, data.size() - 1),
            additive_sum_bytewise(data.data() + 1, data.size() - 1));
}

}  // namespace
}  // namespace iochurn
