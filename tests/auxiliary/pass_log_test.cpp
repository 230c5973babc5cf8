// The pass log: results, the exact time stamp, appending, and whole lines
// under many concurrent writers.
#include "auxiliary/pass_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/scratch_dir.h"

namespace iochurn {
namespace {

using testing_support::file_exists;
using testing_support::read_file;
using testing_support::ScratchDir;
using testing_support::write_file;

// "Sun Dec 07 09:05:03 2025": 'A' an upper-case letter, 'a' a lower-case
// one, '9' a digit, anything else itself.
bool is_stamp(const std::string& s) {
  static const char kShape[] = "Aaa Aaa 99 99:99:99 9999";
  if (s.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i], k = kShape[i];
    bool ok = k == 'A'   ? (c >= 'A' && c <= 'Z')
              : k == 'a' ? (c >= 'a' && c <= 'z')
              : k == '9' ? (c >= '0' && c <= '9')
                         : c == k;
    if (!ok) return false;
  }
  return true;
}

// Splits "<stamp>: <rest>" into its parts; false when the line has no stamp.
bool split_stamped(const std::string& line, std::string* stamp,
                   std::string* rest) {
  if (line.size() < 26 || line.compare(24, 2, ": ") != 0) return false;
  *stamp = line.substr(0, 24);
  *rest = line.substr(26);
  return is_stamp(*stamp);
}

std::string stamp_of(time_t when) {
  char out[64];
  format_time_stamp(when, out, sizeof out);
  return out;
}

// Sets TZ for the life of the object and puts the old one back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_;
  std::string old_;
};

TEST(FormatTimeStamp, FixedTimesInUtc) {
  ScopedTimeZone utc("UTC");
  struct {
    time_t when;
    const char* text;
  } rows[] = {
      {0, "Thu Jan 01 00:00:00 1970"},
      {1765098303, "Sun Dec 07 09:05:03 2025"},  // a two-digit day, never " 7"
      {951782400, "Tue Feb 29 00:00:00 2000"},
      {1767225599, "Wed Dec 31 23:59:59 2025"},
  };
  for (const auto& r : rows) {
    std::string s = stamp_of(r.when);
    EXPECT_EQ(s, r.text);
    EXPECT_EQ(s.size(), 24u);
  }
}

TEST(FormatTimeStamp, FollowsTheLocalZone) {
  ScopedTimeZone zone("EST5");  // fixed five hours behind, no summer time
  EXPECT_EQ(stamp_of(1765098303), "Sun Dec 07 04:05:03 2025");
}

TEST(LogPass, ResultsForMissingArgumentsAndDirectories) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  std::string log = dir.file("log");
  EXPECT_EQ(log_pass(nullptr, "Thread 0: Started pass 1.\n"),
            PassLogResult::kNoFileOrText);
  EXPECT_EQ(log_pass(log.c_str(), nullptr), PassLogResult::kNoFileOrText);
  EXPECT_EQ(log_pass(nullptr, nullptr), PassLogResult::kNoFileOrText);
  EXPECT_FALSE(file_exists(log));  // nothing opened without both

  std::string missing = dir.file("missing/log");
  EXPECT_EQ(log_pass(missing.c_str(), "x\n"), PassLogResult::kCannotOpen);
  EXPECT_EQ(log_pass("", "x\n"), PassLogResult::kCannotOpen);
  EXPECT_TRUE(dir.entries().empty());
}

TEST(LogPass, AppendsStampedLinesAfterEarlierContent) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  std::string log = dir.file("pass.log");
  write_file(log, "earlier line\n");

  time_t before = time(nullptr);
  ASSERT_EQ(log_pass(log.c_str(), "Thread 0: Started pass 1.\n"),
            PassLogResult::kHandedOver);
  ASSERT_EQ(log_pass(log.c_str(), "no line end, "), PassLogResult::kHandedOver);
  ASSERT_EQ(log_pass(log.c_str(), "Thread 0: Finished pass 1.\n"),
            PassLogResult::kHandedOver);
  time_t after = time(nullptr);

  std::string content = read_file(log);
  ASSERT_EQ(content.rfind("earlier line\n", 0), 0u) << content;
  // Three calls, two line ends: the middle text runs on into the third.
  std::istringstream lines(content.substr(13));
  std::string first, second, stamps[3], rest;
  ASSERT_TRUE(std::getline(lines, first));
  ASSERT_TRUE(std::getline(lines, second));
  EXPECT_FALSE(std::getline(lines, rest));
  ASSERT_EQ(content.back(), '\n');
  ASSERT_TRUE(split_stamped(first, &stamps[0], &rest)) << first;
  EXPECT_EQ(rest, "Thread 0: Started pass 1.");
  ASSERT_TRUE(split_stamped(second, &stamps[1], &rest)) << second;
  ASSERT_EQ(rest.rfind("no line end, ", 0), 0u) << second;
  ASSERT_TRUE(split_stamped(rest.substr(13), &stamps[2], &rest)) << second;
  EXPECT_EQ(rest, "Thread 0: Finished pass 1.");
  // Each stamp is the local time of its call.
  for (const std::string& stamp : stamps) {
    bool matches_a_second = false;
    for (time_t t = before; t <= after; ++t)
      matches_a_second = matches_a_second || stamp == stamp_of(t);
    EXPECT_TRUE(matches_a_second) << stamp;
  }

  // A removed log is created again by the next line.
  ASSERT_EQ(unlink(log.c_str()), 0);
  ASSERT_EQ(log_pass(log.c_str(), "again\n"), PassLogResult::kHandedOver);
  std::string again = read_file(log), stamp;
  ASSERT_TRUE(split_stamped(again, &stamp, &rest)) << again;
  EXPECT_EQ(rest, "again\n");
}

TEST(LogPass, ConcurrentWritersNeverSplitALine) {
  ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  std::string log = dir.file("shared.log");
  constexpr int kThreads = 8, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &log] {
      // Long lines make a torn write likely if appends were not whole.
      std::string pad(150, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        std::string text = "Thread " + std::to_string(t) + ": line " +
                           std::to_string(i) + " " + pad + "\n";
        EXPECT_EQ(log_pass(log.c_str(), text.c_str()),
                  PassLogResult::kHandedOver);
      }
    });
  }
  for (auto& th : threads) th.join();

  std::istringstream in(read_file(log));
  std::map<int, int> next_line;  // per thread, in that thread's order
  std::string line, stamp, rest;
  int count = 0;
  while (std::getline(in, line)) {
    ASSERT_TRUE(split_stamped(line, &stamp, &rest)) << "torn line: " << line;
    int t = -1, i = -1, used = 0;
    ASSERT_EQ(std::sscanf(rest.c_str(), "Thread %d: line %d %n", &t, &i, &used), 2)
        << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(rest.substr(static_cast<size_t>(used)),
              std::string(150, static_cast<char>('a' + t)))
        << "torn line: " << line;
    EXPECT_EQ(i, next_line[t]) << line;
    next_line[t] = i + 1;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next_line[t], kLines);
}

}  // namespace
}  // namespace iochurn
