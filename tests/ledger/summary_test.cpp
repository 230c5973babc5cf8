// Summary totals: exact merging from many workers, and the printed block.
#include "ledger/summary.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace iochurn {
namespace {

class Summary : public ::testing::Test {
 protected:
  void SetUp() override { reset_summary(); }
  void TearDown() override { reset_summary(); }
};

TEST_F(Summary, ConcurrentAddsMergeExactly) {
  constexpr int kThreads = 8;
  constexpr int kAdds = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      // Byte counts past 32 bits catch a narrow accumulator.
      Totals c{uint64_t{1} << 33, static_cast<uint64_t>(t + 1), 1,
               static_cast<uint64_t>(t)};
      for (int i = 0; i < kAdds; ++i) add_to_summary(c);
    });
  }
  for (auto& th : threads) th.join();

  SummaryTotals t = summary_snapshot();
  EXPECT_EQ(t.Read_Bytes, (uint64_t{1} << 33) * kThreads * kAdds);
  EXPECT_EQ(t.Write_Bytes, uint64_t{kAdds} * (kThreads * (kThreads + 1) / 2));
  EXPECT_EQ(t.Compare_Errors, uint32_t{kThreads * kAdds});
  EXPECT_EQ(t.Other_Errors, uint32_t{kAdds * (kThreads * (kThreads - 1) / 2)});

  reset_summary();
  t = summary_snapshot();
  EXPECT_EQ(t.Read_Bytes + t.Write_Bytes + t.Compare_Errors + t.Other_Errors, 0u);
}

TEST_F(Summary, PrintsTheExactBlock) {
  add_to_summary(Totals{16777216, 16777216, 0, 0});
  ::testing::internal::CaptureStdout();
  print_summary();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\nSummary statistics:\n"
            "Read_Bytes=16777216   Write_Bytes=16777216\n"
            "Compare_Errors=0   Other_Errors=0\n");

  // Unsigned all the way: no sign, no truncation.
  reset_summary();
  add_to_summary(Totals{(uint64_t{1} << 40) + 5, 18446744073709551615u,
                        4294967295u, 2147483648u});
  ::testing::internal::CaptureStdout();
  print_summary();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\nSummary statistics:\n"
            "Read_Bytes=1099511627781   Write_Bytes=18446744073709551615\n"
            "Compare_Errors=4294967295   Other_Errors=2147483648\n");
}

}  // namespace
}  // namespace iochurn
