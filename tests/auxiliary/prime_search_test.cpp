// The prime search: its table after small and larger limits, a clean table
// for every search, and its verbose message.
#include "auxiliary/prime_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/run_settings.h"

namespace iochurn {
namespace {

// An independent list of the primes up to `limit`.
std::vector<uint32_t> sieve(uint32_t limit) {
  std::vector<bool> composite(limit + 1, false);
  std::vector<uint32_t> primes;
  for (uint32_t i = 2; i <= limit; ++i) {
    if (composite[i]) continue;
    primes.push_back(i);
    for (uint64_t k = uint64_t{i} * i; k <= limit; k += i) composite[k] = true;
  }
  return primes;
}

class PrimeSearch : public ::testing::Test {
 protected:
  void SetUp() override { reset_run_settings(&settings); }
  void TearDown() override { reset_run_settings(&settings); }

  // The table must hold exactly `expected`, then zeros up to `check_to`.
  static void expect_table(const std::vector<uint32_t>& expected,
                           size_t check_to) {
    ASSERT_EQ(prime_count, expected.size());
    for (size_t k = 0; k < expected.size(); ++k)
      ASSERT_EQ(prime_table[k], expected[k]) << "entry " << k;
    for (size_t k = expected.size(); k < check_to; ++k)
      ASSERT_EQ(prime_table[k], 0u) << "entry " << k;
  }
};

TEST_F(PrimeSearch, SmallLimits) {
  struct {
    uint32_t limit;
    std::vector<uint32_t> primes;
  } rows[] = {
      {1, {2}},  // 2 is stored whatever the limit
      {2, {2}},
      {3, {2, 3}},
      {4, {2, 3}},
      {10, {2, 3, 5, 7}},
      {11, {2, 3, 5, 7, 11}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.limit);
    search_primes(r.limit);
    expect_table(r.primes, 32);
  }
}

TEST_F(PrimeSearch, TenThousandThenASmallerSearchStartsClean) {
  search_primes(10000);
  ASSERT_EQ(prime_count, 1229u);
  EXPECT_EQ(prime_table[1228], 9973u);
  expect_table(sieve(10000), 1300);

  search_primes(10);
  expect_table({2, 3, 5, 7}, 1300);
  search_primes(1);
  expect_table({2}, 1300);
}

TEST_F(PrimeSearch, VerboseMessageShowsTheLimit) {
  settings.verbose = true;
  ::testing::internal::CaptureStdout();
  search_primes(10);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Search for prime numbers upto 10.\n");
  settings.verbose = false;
  ::testing::internal::CaptureStdout();
  search_primes(10);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
}  // namespace iochurn
