// The status line's clock: local time with its offset, elapsed time in
// tenths.
#include "report/status_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

}  // namespace
}  // namespace iochurn
