// The command line: 32-bit conversion, every option's rule, the scanner's
// GNU behaviour, the monitoring check, the help and the path-length refusal.
#include "config/options.h"

#include "exit_status.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "config/run_settings.h"
#include "worker/slots.h"

namespace iochurn {
namespace {

TEST(ParseSigned32, Samples) {
  struct {
    const char* text;
    int32_t expected;
  } rows[] = {
      {"", 0},
      {"   ", 0},
      {"abc", 0},
      {"-", 0},
      {"+", 0},
      {"- 5", 0},  // the sign must touch the digits
      {"+-5", 0},  // one sign only
      {"0x10", 0},
      {"42", 42},
      {"  \t\n42", 42},
      {"+7", 7},
      {"-7", -7},
      {"-0", 0},
      {"12abc", 12},
      {"12 34", 12},
      {"0000000000000000000000000000123", 123},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"4294967296", INT32_MAX},  // must not wrap through 32 bits
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"99999999999999999999999999999999999999999999", INT32_MAX},
      {"-99999999999999999999999999999999999999999999", INT32_MIN},
      {"18446744073709551617", INT32_MAX},  // 2^64 + 1 must not wrap either
  };
  for (const auto& r : rows)
    EXPECT_EQ(parse_signed32(r.text), r.expected) << '"' << r.text << '"';
}

TEST(ParseUnsigned32, Samples) {
  struct {
    const char* text;
    uint32_t expected;
  } rows[] = {
      {"", 0u},
      {"  ", 0u},
      {"abc", 0u},
      {"12abc", 12u},
      {" +3", 3u},
      {"4294967295", 4294967295u},
      {"4294967296", 4294967295u},
      {"99999999999999999999999999999999999999999999", 4294967295u},
      {"18446744073709551617", 4294967295u},
      {"-1", 4294967295u},
      {"-0", 0u},
      {"-2", 4294967294u},
      {"-4294967295", 1u},
      {"-4294967296", 1u},  // saturates first, then negates
      {"-99999999999999999999", 1u},
      {"2147483648", 2147483648u},
  };
  for (const auto& r : rows)
    EXPECT_EQ(parse_unsigned32(r.text), r.expected) << '"' << r.text << '"';
}

// An argument vector of writable words, as getopt may permute it.
class Argv {
 public:
  explicit Argv(const std::vector<std::string>& words) {
    words_.push_back(chars("iochurn"));
    for (const auto& w : words) words_.push_back(chars(w));
    for (auto& w : words_) pointers_.push_back(w.data());
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(pointers_.size()) - 1; }
  char** argv() { return pointers_.data(); }

 private:
  static std::vector<char> chars(const std::string& s) {
    std::vector<char> v(s.begin(), s.end());
    v.push_back('\0');
    return v;
  }
  std::vector<std::vector<char>> words_;
  std::vector<char*> pointers_;
};

class ProcessOptions : public ::testing::Test {
 protected:
  void SetUp() override { reset_run_settings(&settings); }

  int run(const std::vector<std::string>& words) {
    args_ = std::make_unique<Argv>(words);  // text settings point into it
    reset_run_settings(&s_);
    m_ = MonitorSettings{};
    optind = 0;
    return process_options(args_->argc(), args_->argv(), &s_, &m_);
  }

  RunSettings s_;
  MonitorSettings m_;
  std::unique_ptr<Argv> args_;
};

using Field = int64_t (*)(const RunSettings&, const MonitorSettings&);

template <auto Member>
int64_t run_field(const RunSettings& s, const MonitorSettings&) {
  return static_cast<int64_t>(s.*Member);
}

template <auto Member>
int64_t monitor_field(const RunSettings&, const MonitorSettings& m) {
  return static_cast<int64_t>(m.*Member);
}

TEST_F(ProcessOptions, EveryRowAppliesItsRule) {
  const Field threads = run_field<&RunSettings::threads>;
  const Field files = run_field<&RunSettings::filecount>;
  const Field primes = run_field<&RunSettings::max_int_num>;
  const Field tmout = run_field<&RunSettings::io_tmout_secs>;
  const Field passes = run_field<&RunSettings::passes>;
  const Field bufsize = run_field<&RunSettings::bufsize>;
  const Field filesize = run_field<&RunSettings::filesize>;
  const Field usec = run_field<&RunSettings::usec>;
  const Field flags = run_field<&RunSettings::open_flags>;
  const Field interval = monitor_field<&MonitorSettings::actv_mon_tmout>;

  RunSettings defaults;
  reset_run_settings(&defaults);

  struct Row {
    std::vector<std::string> words;
    Field field;
    int64_t expected;
  } rows[] = {
      {{"-j", "501"}, threads, 500},
      {{"-j", "500"}, threads, 500},
      {{"-j", "99999999999"}, threads, 500},
      {{"-j", "0"}, threads, 1},
      {{"-j", "-3"}, threads, -3},
      {{"-j", "12abc"}, threads, 12},
      {{"-j", "abc"}, threads, 1},
      {{"-n", "101"}, files, 100},
      {{"-n", "100"}, files, 100},
      {{"-n", "0"}, files, 1},
      {{"-n", "-2"}, files, -2},
      {{"-P", "2000000"}, primes, 1000000},
      {{"-P", "1000001"}, primes, 1000000},
      {{"-P", "1000000"}, primes, 1000000},
      {{"-P", "-1"}, primes, 1000000},  // compared unsigned
      {{"-P", "-2147483648"}, primes, 1000000},
      {{"-P", "0"}, primes, 0},
      {{"-P", "none"}, primes, 0},
      {{"-a", "0"}, tmout, 3600},
      {{"-a", "junk"}, tmout, 3600},
      {{"-a", "-5"}, tmout, -5},
      {{"-a", "7"}, tmout, 7},
      {{"-p", "0"}, passes, 1},
      {{"-p", "-1"}, passes, -1},
      {{"-p", "3"}, passes, 3},
      {{"-s", "0"}, bufsize, 1},
      {{"-s", "5000"}, bufsize, 2047},
      {{"-s", "2048"}, bufsize, 2047},
      {{"-s", "2047"}, bufsize, 2047},
      {{"-s", "-3"}, bufsize, 1},
      {{"-s", "-2147483649"}, bufsize, 1},
      {{"-f", "0"}, filesize, 1},
      {{"-f", "-1"}, filesize, 4294967295},
      {{"-f", "4294967296"}, filesize, 4294967295},
      {{"-f", "6500"}, filesize, 6500},
      {{"-o", "0"}, interval, 0},
      {{"-o", "-7"}, interval, -7},
      {{"-o", "x"}, interval, 0},
      {{"-w", "250"}, usec, 250},
      {{"-w", "-1"}, usec, -1},
      {{"-w", "x"}, usec, 0},
      {{"-d"}, flags, defaults.open_flags | O_DIRECT},
      {{"-d", "-d"}, flags, defaults.open_flags | O_DIRECT},
  };
  for (const Row& r : rows) {
    std::string label;
    for (const auto& w : r.words) label += w + " ";
    EXPECT_EQ(run(r.words), -1) << label;
    EXPECT_EQ(r.field(s_, m_), r.expected) << label;
  }
}

TEST_F(ProcessOptions, FlagsAndTextArguments) {
  ASSERT_EQ(run({"-A", "-l", "-M", "-m", "-r", "-R", "-S", "-u", "-v", "-y", "-z"}), -1);
  EXPECT_TRUE(s_.alarm_control);
  EXPECT_TRUE(s_.run_forever);
  EXPECT_FALSE(s_.collect_stats);
  EXPECT_TRUE(s_.separate_buffers);
  EXPECT_TRUE(s_.random_fill);
  EXPECT_TRUE(m_.rerun_threads);
  EXPECT_TRUE(s_.random_sleep);
  EXPECT_FALSE(s_.async_break);
  EXPECT_TRUE(s_.verbose);
  EXPECT_TRUE(s_.sync_writes);
  EXPECT_FALSE(s_.delete_files);
  EXPECT_FALSE(m_.monitor_threads);

  // None of the flags changes anything else.
  ASSERT_EQ(run({"-y", "-v"}), -1);
  RunSettings defaults;
  reset_run_settings(&defaults);
  EXPECT_EQ(s_.open_flags, defaults.open_flags);
  EXPECT_EQ(s_.threads, 1);
  EXPECT_EQ(s_.workdir, nullptr);
  EXPECT_EQ(s_.logfile, nullptr);

  ASSERT_EQ(run({"-t", "", "-L", ""}), -1);  // empty texts count
  ASSERT_NE(s_.workdir, nullptr);
  ASSERT_NE(s_.logfile, nullptr);
  EXPECT_STREQ(s_.workdir, "");
  EXPECT_STREQ(s_.logfile, "");
  EXPECT_STREQ(effective_workdir(s_), "");

  ASSERT_EQ(run({"-t", "/srv/x y", "-L", "rel/log.txt"}), -1);
  EXPECT_STREQ(s_.workdir, "/srv/x y");
  EXPECT_STREQ(s_.logfile, "rel/log.txt");
}

TEST_F(ProcessOptions, ScannerGroupingArgumentsAndOrder) {
  ASSERT_EQ(run({"-vlr"}), -1);
  EXPECT_TRUE(s_.verbose);
  EXPECT_TRUE(s_.run_forever);
  EXPECT_TRUE(s_.random_fill);

  ASSERT_EQ(run({"-j2"}), -1);
  EXPECT_EQ(s_.threads, 2);

  ASSERT_EQ(run({"-vj", "2"}), -1);
  EXPECT_TRUE(s_.verbose);
  EXPECT_EQ(s_.threads, 2);

  ASSERT_EQ(run({"-vn7l"}), -1);  // the argument ends the group
  EXPECT_TRUE(s_.verbose);
  EXPECT_EQ(s_.filecount, 7);
  EXPECT_FALSE(s_.run_forever);

  // The next word is the argument even when it starts with a dash.
  ASSERT_EQ(run({"-j", "-v"}), -1);
  EXPECT_EQ(s_.threads, 1);
  EXPECT_FALSE(s_.verbose);
  ASSERT_EQ(run({"-t", "-v"}), -1);
  EXPECT_STREQ(s_.workdir, "-v");
  EXPECT_FALSE(s_.verbose);

  // A final option without its argument is passed over.
  ASSERT_EQ(run({"-j", "4", "-j"}), -1);
  EXPECT_EQ(s_.threads, 4);
  ASSERT_EQ(run({"-v", "-t"}), -1);
  EXPECT_TRUE(s_.verbose);
  EXPECT_EQ(s_.workdir, nullptr);

  // Unknown letters are ignored, alone or inside a group.
  ASSERT_EQ(run({"-x", "-v"}), -1);
  EXPECT_TRUE(s_.verbose);
  ASSERT_EQ(run({"-vxl", "-#"}), -1);
  EXPECT_TRUE(s_.verbose);
  EXPECT_TRUE(s_.run_forever);

  // The last occurrence wins.
  ASSERT_EQ(run({"-j", "3", "-n", "4", "-j", "5", "-t", "a", "-t", "b"}), -1);
  EXPECT_EQ(s_.threads, 5);
  EXPECT_EQ(s_.filecount, 4);
  EXPECT_STREQ(s_.workdir, "b");
}

TEST_F(ProcessOptions, NonOptionWordsDoubleDashAndPosixlyCorrect) {
  ASSERT_EQ(run({"foo", "-v", "bar", "-j", "3", "baz"}), -1);
  EXPECT_TRUE(s_.verbose);
  EXPECT_EQ(s_.threads, 3);

  ASSERT_EQ(run({"-v", "--", "-j", "3", "-l"}), -1);
  EXPECT_TRUE(s_.verbose);
  EXPECT_EQ(s_.threads, 1);
  EXPECT_FALSE(s_.run_forever);

  const char* saved = std::getenv("POSIXLY_CORRECT");
  std::string saved_value = saved ? saved : "";
  setenv("POSIXLY_CORRECT", "1", 1);
  int rc = run({"-l", "foo", "-v", "-j", "9"});
  if (saved)
    setenv("POSIXLY_CORRECT", saved_value.c_str(), 1);
  else
    unsetenv("POSIXLY_CORRECT");
  ASSERT_EQ(rc, -1);
  EXPECT_TRUE(s_.run_forever);
  EXPECT_FALSE(s_.verbose);
  EXPECT_EQ(s_.threads, 1);

  // And without it again, the scan goes past the word.
  ASSERT_EQ(run({"-l", "foo", "-v"}), -1);
  EXPECT_TRUE(s_.verbose);
}

TEST_F(ProcessOptions, RefusalNamesTheOptionNotTheWordAfterIt) {
  struct Case {
    std::vector<std::string> words;
    const char* line;
  } cases[] = {
      // The next word is another option: the value is missing.
      {{"--verify", "--report=x.json"},
       "iochurn: --verify: this option needs a value (--option=VALUE)\n"},
      {{"--status-interval", "--strict"},
       "iochurn: --status-interval: this option needs a value (--option=VALUE)\n"},
      // A wrong value in the next word is named with its option.
      {{"--verify", "crc"}, "iochurn: --verify crc: accepted values are 'sum' and 'blocks'\n"},
      {{"--verify=crc"}, "iochurn: --verify=crc: accepted values are 'sum' and 'blocks'\n"},
  };
  for (const Case& c : cases) {
    ::testing::internal::CaptureStderr();
    int status = run(c.words);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.line) << c.words[0];
    EXPECT_EQ(status, kExitBadLongOption) << c.words[0];
  }
  // A separate word that is a value is still taken.
  EXPECT_EQ(run({"--verify", "blocks"}), -1);
  EXPECT_EQ(s_.verify_mode, VerifyMode::kBlocks);
}

TEST_F(ProcessOptions, MonitoringNeedsAnInterval) {
  const std::string message = "You must set threads monitoring time interval!\n";
  struct {
    std::vector<std::string> words;
    int expected;
    bool prints;
  } rows[] = {
      {{"-O"}, 7, true},
      {{"-O", "-o", "-1"}, 7, true},
      {{"-o", "5", "-O", "-o", "-1"}, 7, true},  // the last -o counts
      {{"-O", "-o", "0"}, -1, false},
      {{"-O", "-o", "-5"}, -1, false},
      {{"-O", "-o", "60"}, -1, false},
      {{"-o", "-1"}, -1, false},  // no check without -O
      {{"-R"}, -1, false},
  };
  for (const auto& r : rows) {
    std::string label;
    for (const auto& w : r.words) label += w + " ";
    ::testing::internal::CaptureStderr();
    int rc = run(r.words);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, r.expected) << label;
    EXPECT_EQ(err, r.prints ? message : "") << label;
  }
  ASSERT_EQ(run({"-O", "-o", "0"}), -1);
  EXPECT_TRUE(m_.monitor_threads);
  EXPECT_EQ(m_.actv_mon_tmout, 0);
}

const char kHelpText[] =
    "\n"
    "File I/O testing program (with pthreads), version 1.3.1\n"
    "Usage: iochurn [-AdfhlMmOrSRuyvz] [-n filecount] [-s bufsize] [-f filesize]\n"
    "       [-p passes] [-t workdir] [-a io_tmout_secs] [-L logfile] [-j threads]\n"
    "       [-w usec] [-P max_int_num] [-o actv_mon_tmout]\n"
    "       -A   use alarm control for r/w ops (default=no)\n"
    "       -d   direct writing (no caching)\n"
    "       -h   this help\n"
    "       -l   run forever\n"
    "       -m   separate buffers for read and write\n"
    "       -r   fill buffers with random values\n"
    "       -y   synchronous writes\n"
    "       -v   verbose output\n"
    "       -z   don't delete temporary files\n"
    "       -M   disable summary statistics collection (default=enable)\n"
    "       -j   number of threads\n"
    "       -w   wait microsec before run each thread (default=0)\n"
    "       -u   disable async. user break signal (default=enable)\n"
    "       -P   max.int.num to search prime numbers (def.=0, rec.=10000+)\n"
    "       -O   use active monitoring of threads state\n"
    "       -o   active monitoring time interval (default=none)\n"
    "       -R   re-run terminated threads (default=no)\n"
    "       -S   enable to sleep N random seconds in each thread (default=no)\n"
    "Default parameters:\n"
    "   Passes number:    min=1, def=1, max=unlimited\n"
    "   Files/buffers:    min=1, def=1, max=100\n"
    "   Buffer size:      min=1 MB, def=4 MB, max=unlimited\n"
    "   File   size:      min=1 MB, def=16 MB, max=unlimited\n"
    "   Threads number:   min=1, def=1, max=500\n"
    "   Working catalog:  /tmp\n"
    "   I/O op. timeout:  3600 seconds\n"
    "Screen output symbols:\n"
    "   w=writing, r=reading, *=full buffer, .=partial buffer\n"
    "Sample command line:\n"
    "   ./iochurn -vluSRO -j 2 -s 100 -f 6500 -t /test_dir -o 60\n"
    "   ./iochurn -vlr -s 400 -f 1600 -t /media1\n"
    "   ./iochurn -vlr -s 500\n";

TEST_F(ProcessOptions, HelpPrintsTheBuiltInDefaultsAndExitsWithOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run({"-h"}), ::testing::ExitedWithCode(1),
              ::testing::Eq(std::string(kHelpText)));
  // Options before -h never show in the defaults; options after it are not
  // read (-O without -o would otherwise end with 7 before the help).
  EXPECT_EXIT(run({"-j", "7", "-n", "9", "-s", "3", "-t", "/elsewhere", "-a", "5",
                   "-h", "-O"}),
              ::testing::ExitedWithCode(1), ::testing::Eq(std::string(kHelpText)));
  EXPECT_EXIT(run({"-vh"}), ::testing::ExitedWithCode(1),
              ::testing::Eq(std::string(kHelpText)));
}

int digits(uint64_t v) { return static_cast<int>(std::to_string(v).size()); }

TEST(LongestTempName, MatchesTheLongestNameActuallyBuilt) {
  struct {
    const char* workdir;
    int threads;
    int filecount;
    uint64_t max_pid;
    int last_thread;
    int last_slot;
  } rows[] = {
      {nullptr, 1, 1, 4194303, 0, 0},
      {"/tmp", 1, 1, 32767, 0, 0},
      {"/d", 10, 10, 99, 9, 9},
      {"/d", 11, 11, 99, 10, 10},
      {"/d", 500, 100, 4194303, 499, 99},
      {"/d", 0, 0, 7, 0, 0},
      {"/d", -5, -3, 7, 0, 0},  // no worker, no file: taken as 0
      {"", 1, 1, 1, 0, 0},
  };
  for (const auto& r : rows) {
    RunSettings s;
    reset_run_settings(&s);
    s.workdir = r.workdir;
    s.threads = r.threads;
    s.filecount = r.filecount;
    char path[4096];
    ASSERT_TRUE(build_temp_path(path, sizeof path, effective_workdir(s),
                                static_cast<int>(r.max_pid), r.last_thread,
                                r.last_slot));
    EXPECT_EQ(longest_temp_name(s, r.max_pid), std::string(path).size())
        << path;
  }
}

TEST(LongestTempName, CountsTheRankDirectory) {
  RunSettings s;
  reset_run_settings(&s);
  s.workdir = "/scratch";
  s.threads = 12;
  s.filecount = 3;
  s.rank_dir = "node017.cluster.example.org.1023";
  char path[4096];
  ASSERT_TRUE(build_temp_path(path, sizeof path,
                              "/scratch/node017.cluster.example.org.1023",
                              4194303, 11, 2));
  EXPECT_EQ(longest_temp_name(s, 4194303), std::string(path).size()) << path;
}

TEST(HostMaxPid, IsBelowTheKernelCeiling) {
  uint64_t max_pid = host_max_pid();
  EXPECT_GE(max_pid, static_cast<uint64_t>(getpid()));
  if (FILE* f = std::fopen("/proc/sys/kernel/pid_max", "r")) {
    unsigned long long pid_max = 0;
    ASSERT_EQ(std::fscanf(f, "%llu", &pid_max), 1);
    std::fclose(f);
    EXPECT_EQ(max_pid, pid_max - 1);
  }
}

TEST(CheckWorkdirLength, RefusesOneCharacterPastTheField) {
  const int pid_digits = digits(host_max_pid());
  struct {
    int threads;
    int filecount;
    int index_digits;  // of threads-1 and filecount-1, each at least 1
  } rows[] = {
      {500, 100, 3 + 2},
      {1, 1, 1 + 1},
      {11, 10, 2 + 1},
      {-4, 0, 1 + 1},  // refused even when no file would be created
  };
  for (const auto& r : rows) {
    // "<dir>/<pid>_<thread>_<slot>.DUMMY" is exactly 255 characters.
    size_t dir_length = 255 - (1 + pid_digits + 1 + 1 + 6 + r.index_digits);
    for (size_t extra : {0, 1}) {
      // Built in place: GCC 12 at -O3 takes "/" + std::string for an
      // overlapping copy (-Wrestrict).
      std::string dir(dir_length + extra, 'd');
      dir[0] = '/';
      RunSettings s;
      reset_run_settings(&s);
      s.workdir = dir.c_str();
      s.threads = r.threads;
      s.filecount = r.filecount;
      ::testing::internal::CaptureStderr();
      int rc = check_workdir_length(s);
      std::string err = ::testing::internal::GetCapturedStderr();
      SCOPED_TRACE(::testing::Message() << r.threads << "/" << r.filecount
                                        << " +" << extra);
      EXPECT_EQ(longest_temp_name(s, host_max_pid()), 255 + extra);
      if (extra == 0) {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(err, "");
      } else {
        EXPECT_EQ(rc, 8);
        EXPECT_EQ(err, "Working catalog name is too long!\n");
      }
      // What passes the check fits a slot's path field; what fails would not.
      FileSlot slot{};
      bool fits = build_temp_path(slot.path, sizeof slot.path, dir.c_str(),
                                  static_cast<int>(host_max_pid()),
                                  r.threads > 0 ? r.threads - 1 : 0,
                                  r.filecount > 0 ? r.filecount - 1 : 0);
      EXPECT_EQ(fits, extra == 0);
    }
  }
}

}  // namespace
}  // namespace iochurn

namespace iochurn {
namespace {

TEST(ParseDuration, UnitsBoundsAndRefusals) {
  const struct {
    const char* text;
    int64_t seconds;  // -1: refused
  } kCases[] = {{"90", 90},          {"90s", 90},       {"30m", 1800},
                {"8h", 28800},       {"2d", 172800},    {"1", 1},
                {"2147483647", 2147483647},             {"24855d", 2147472000},
                {"0", -1},           {"0s", -1},        {"", -1},
                {"s", -1},           {"5x", -1},        {"1.5h", -1},
                {"-3", -1},          {"+3", -1},        {" 3", -1},
                {"3 ", -1},          {"2dd", -1},       {"2147483648", -1},
                {"24856d", -1},      {"99999999999999999999", -1}};
  for (const auto& c : kCases) {
    int64_t seconds = -1;
    bool ok = parse_duration(c.text, &seconds);
    EXPECT_EQ(ok, c.seconds >= 0) << c.text;
    EXPECT_EQ(seconds, c.seconds) << c.text;
  }
  EXPECT_FALSE(parse_duration(nullptr, nullptr));
}

TEST_F(ProcessOptions, PageAndTimeLimitOptions) {
  EXPECT_EQ(run({"iochurn", "--html=p.html", "--runtime=8h", "--from-report=r.json"}), -1);
  EXPECT_STREQ(s_.html_path, "p.html");
  EXPECT_STREQ(s_.from_report_path, "r.json");
  EXPECT_EQ(s_.runtime_s, 28800);
  // A page needs somewhere to go; empty paths and bad durations are refused.
  for (const char* bad : {"--from-report=r.json", "--html=", "--from-report=",
                          "--runtime=1.5h", "--runtime=0"})
    EXPECT_EQ(run({"iochurn", bad}), 2) << bad;
}

}  // namespace
}  // namespace iochurn
