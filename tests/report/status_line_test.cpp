// The status line: local time with its offset, elapsed time in tenths,
// rates over the interval, totals so far, and one terminated line whatever
// the buffer.
#include "report/status_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace iochurn {
namespace {

TEST(StatusLine, LocalTimeCarriesItsOffset) {
  const char* old = std::getenv("TZ");
  std::string saved = old != nullptr ? old : "";
  char out[40];
  setenv("TZ", "UTC", 1);
  tzset();
  iso8601_local(int64_t{1'700'000'000} * 1'000'000'000 + 999'000'000, out, sizeof out);
  EXPECT_STREQ(out, "2023-11-14T22:13:20+00:00");
  setenv("TZ", "IST-5:30", 1);
  tzset();
  iso8601_local(int64_t{1'700'000'000} * 1'000'000'000, out, sizeof out);
  EXPECT_STREQ(out, "2023-11-15T03:43:20+05:30");
  setenv("TZ", "EST5", 1);
  tzset();
  iso8601_local(int64_t{1'700'000'000} * 1'000'000'000, out, sizeof out);
  EXPECT_STREQ(out, "2023-11-14T17:13:20-05:00");
  // Too small a buffer gives no stamp rather than a cut-off one.
  char small[20];
  iso8601_local(int64_t{1'700'000'000} * 1'000'000'000, small, sizeof small);
  EXPECT_STREQ(small, "");
  if (old != nullptr)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(StatusLine, ElapsedTenthsAreCutNotRounded) {
  StatusSample s{};
  s.elapsed_ns = 99'999'999;
  EXPECT_EQ(elapsed_tenths(s), 0u);
  s.elapsed_ns = 100'000'000;
  EXPECT_EQ(elapsed_tenths(s), 1u);
  s.elapsed_ns = uint64_t{3600} * 1'000'000'000 + 950'000'000;
  EXPECT_EQ(elapsed_tenths(s), 36009u);
}

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
  now.bad_blocks = 4;
  now.wall_ns = int64_t{1'700'000'000} * 1'000'000'000;
  const char* old = std::getenv("TZ");
  std::string saved = old != nullptr ? old : "";
  setenv("TZ", "UTC", 1);
  tzset();
  char line[320];
  int n = format_status_line(now, before, line, sizeof line);
  if (old != nullptr)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  EXPECT_STREQ(line,
               "status: time=2023-11-14T22:13:20+00:00 elapsed_s=120.4 "
               "passes=37 written=1807745024 read=1709178880 "
               "write_MiBps=812.0 read_MiBps=790.0 compare_errors=1 "
               "other_errors=2 bad_blocks=4 stalled=3\n");
  EXPECT_EQ(n, static_cast<int>(std::strlen(line)));
  // A multi-host job's line: its own rates, the silent processes last.
  char job_line[320];
  n = format_job_status_line(now, 5.25, 0.0, 1, job_line, sizeof job_line);
  std::string job(job_line);
  EXPECT_NE(job.find(" write_MiBps=5.2 read_MiBps=0.0 "), std::string::npos) << job;
  EXPECT_EQ(job.substr(job.size() - 20), " stalled=3 silent=1\n") << job;
  EXPECT_EQ(n, static_cast<int>(job.size()));
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
