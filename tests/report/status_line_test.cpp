// The status line: rates over the interval, errors so far, and one
// terminated line whatever the buffer.
#include "report/status_line.h"

#include <gtest/gtest.h>

#include <cstring>

namespace iochurn {
namespace {

TEST(StatusLine, RatesOverTheIntervalAndErrorsSoFar) {
  StatusSample before{};
  before.at_ns = 10'000'000'000;
  before.counts.bytes_written = 100u << 20;
  before.counts.bytes_read = 50u << 20;
  StatusSample now = before;
  now.at_ns += 2'000'000'000;
  now.elapsed_ns = 120'400'000'000;
  now.passes_completed = 37;
  now.counts.bytes_written += 1624u << 20;  // 812 MiB/s over 2 s
  now.counts.bytes_read += 1580u << 20;
  now.counts.compare_errors = 1;
  now.counts.other_errors = 2;
  now.stalled = 3;
  char line[256];
  int n = format_status_line(now, before, line, sizeof line);
  EXPECT_STREQ(line,
               "status: elapsed_s=120 passes=37 write_MiBps=812.0 "
               "read_MiBps=790.0 compare_errors=1 other_errors=2 stalled=3\n");
  EXPECT_EQ(n, static_cast<int>(std::strlen(line)));
  // No time passed: no rate, and never a division by zero.
  n = format_status_line(now, now, line, sizeof line);
  EXPECT_NE(std::strstr(line, "write_MiBps=0.0 read_MiBps=0.0"), nullptr);
  // A short buffer still gets one terminated line.
  char small[20];
  n = format_status_line(now, before, small, sizeof small);
  EXPECT_EQ(n, 19);
  EXPECT_EQ(small[18], '\n');
  EXPECT_EQ(small[19], '\0');
}

}  // namespace
}  // namespace iochurn
