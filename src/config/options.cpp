// Option loop and help text.
#include "config/options.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "exit_status.h"
#include "platform/message.h"

namespace iochurn {

namespace {

// Skips blanks and one sign; returns the first digit position.
const char* skip_prefix(const char* text, bool* negative) {
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  *negative = false;
  if (*text == '+' || *text == '-') {
    *negative = *text == '-';
    ++text;
  }
  return text;
}

// Decimal digits as a magnitude that stops at `limit`.
uint64_t read_digits(const char* text, uint64_t limit) {
  uint64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + static_cast<uint64_t>(*text - '0');
    if (value > limit) value = limit;  // keeps long digit runs from wrapping
  }
  return value;
}

int digits_of(uint64_t value) {
  int n = 1;
  while (value >= 10) {
    value /= 10;
    ++n;
  }
  return n;
}

// Values of the long options, past every short option letter.
enum LongOption {
  kOptHelp = 256,
  kOptVersion,
  kOptVerify,
  kOptVerifyBlock,
  kOptKeepFailed,
  kOptReport,
  kOptStrict,
  kOptStatusInterval,
  kOptDiagnose,
  kOptSweep,
  kOptMemoryBudget,
  kOptJournal,
  kOptCheckJournal,
  kOptCutAfter,
  kOptCutCommand,
  kOptMaxErrors,
  kOptHtml,
  kOptFromReport,
  kOptRuntime,
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, kOptHelp},
    {"version", no_argument, nullptr, kOptVersion},
    {"verify", required_argument, nullptr, kOptVerify},
    {"verify-block", required_argument, nullptr, kOptVerifyBlock},
    {"keep-failed", optional_argument, nullptr, kOptKeepFailed},
    {"report", required_argument, nullptr, kOptReport},
    {"strict", no_argument, nullptr, kOptStrict},
    {"status-interval", required_argument, nullptr, kOptStatusInterval},
    {"diagnose", no_argument, nullptr, kOptDiagnose},
    {"sweep", optional_argument, nullptr, kOptSweep},
    {"memory-budget", required_argument, nullptr, kOptMemoryBudget},
    {"journal", required_argument, nullptr, kOptJournal},
    {"check-journal", required_argument, nullptr, kOptCheckJournal},
    {"cut-after", required_argument, nullptr, kOptCutAfter},
    {"cut-command", required_argument, nullptr, kOptCutCommand},
    {"max-errors", required_argument, nullptr, kOptMaxErrors},
    {"html", required_argument, nullptr, kOptHtml},
    {"from-report", required_argument, nullptr, kOptFromReport},
    {"runtime", required_argument, nullptr, kOptRuntime},
    {nullptr, 0, nullptr, 0},
};

// One line per long option, after the short options' help.
const char kLongHelp[] =
    "Long options:\n"
    "       --help               this help with the long options (standard output)\n"
    "       --version            print the program version\n"
    "       --verify=sum|blocks  check read-back data by file sums (default) or by\n"
    "                            tagged, check-summed blocks that name what went wrong\n"
    "       --verify-block=BYTES block size of --verify=blocks (512..buffer size, a\n"
    "                            power of two, default=4096)\n"
    "       --keep-failed[=N]    keep up to N files that failed verification as\n"
    "                            <name>.<pass>.failed (default N=100)\n"
    "       --report=FILE        write a JSON report of the run to FILE\n"
    "       --strict             exit status 16 + 1 (data errors) + 2 (other errors)\n"
    "                            + 4 (time-outs) + 8 (ended by a signal)\n"
    "       --status-interval=SECONDS  a status line on standard error every SECONDS\n"
    "       --diagnose           name hung transfers, guard every call with -A and\n"
    "                            warn before a run that cannot fit\n"
    "       --sweep[=force]      delete the files that dead earlier runs left in the\n"
    "                            working directory first (with -j -1: only that)\n"
    "       --memory-budget=MB   buffers of all workers at once at most MB (0: no\n"
    "                            limit; default: the memory available at start)\n"
    "       --journal=FILE       keep a journal of every write the storage\n"
    "                            acknowledged as durable (implies --verify=blocks)\n"
    "       --check-journal=FILE read back what the journal expects (\"-\": standard\n"
    "                            input) and report what the storage lost\n"
    "       --cut-after=SECONDS  stop all I/O after SECONDS, commit the journal and\n"
    "                            end at once, deleting nothing (status 0)\n"
    "       --cut-command=CMD    at the cut, run CMD through /bin/sh -c first (a\n"
    "                            power cut); only with --cut-after\n"
    "       --html=FILE          write the run as a self-contained HTML page to FILE\n"
    "       --from-report=REPORT run nothing: render the page of REPORT into the\n"
    "                            --html file\n"
    "       --runtime=DURATION   stop in order after DURATION (90, 90s, 30m, 8h, 2d)\n"
    "       --max-errors=N       stop the run in order once compare and other errors\n"
    "                            together reach N (default=0: no limit)\n";

// An explicit --verify=sum, which a journal cannot work with. Written and
// read by the option loop only.
bool sum_asked = false;

// Refuses a long option before anything runs: one line, status 2.
int refuse(const char* option_text, const char* accepted) {
  write_long_message(STDERR_FILENO, "iochurn: %s: %s\n", option_text, accepted);
  return kExitBadLongOption;
}

// Reads all of `text` as a decimal number in [low, high].
bool read_whole_number(const char* text, int64_t low, int64_t high,
                       int64_t* value) {
  if (text == nullptr || *text == '\0') return false;
  int64_t v = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    v = v * 10 + (*c - '0');
    if (v > high) return false;
  }
  if (v < low) return false;
  *value = v;
  return true;
}

// True when getopt_long took the value of the current option from the word
// after it ("--verify blocks") rather than from after its '='.
bool value_in_next_word(char** argv, int argc) {
  int at = optind - 1;
  return optarg != nullptr && at >= 2 && at < argc && optarg == argv[at];
}

// The text of the option getopt_long just took or refused, with a value
// from the next word named after its option. The option loop only.
const char* current_option_text(char** argv, int argc) {
  static char text[kPathSize + 64];
  int at = optind - 1;
  if (at < 1 || at >= argc) return "option";
  if (!value_in_next_word(argv, argc)) return argv[at];
  std::snprintf(text, sizeof text, "%s %s", argv[at - 1], argv[at]);
  return text;
}

// Handles one long option. Returns -1 to go on, or an exit status.
int take_long_option(int c, char** argv, int argc, RunSettings* s) {
  int64_t value;
  // "--verify --report=x.json": the next option is no value, the value is
  // missing.
  if (value_in_next_word(argv, argc) && std::strncmp(optarg, "--", 2) == 0)
    return refuse(argv[optind - 2], "this option needs a value (--option=VALUE)");
  switch (c) {
    case kOptHelp:
      print_help(stdout);
      std::fputs(kLongHelp, stdout);
      return kExitOk;
    case kOptVersion:
      std::printf("iochurn %s\n", kVersion);
      return kExitOk;
    case kOptVerify:
      if (std::strcmp(optarg, "sum") == 0) {
        s->verify_mode = VerifyMode::kSum;
        sum_asked = true;
      } else if (std::strcmp(optarg, "blocks") == 0) {
        s->verify_mode = VerifyMode::kBlocks;
      } else {
        return refuse(current_option_text(argv, argc),
                      "accepted values are 'sum' and 'blocks'");
      }
      return -1;
    case kOptVerifyBlock:
      // Checked against the buffer size once every option is in.
      if (!read_whole_number(optarg, 512, int64_t{1} << 31, &value) ||
          (value & (value - 1)) != 0)
        return refuse(current_option_text(argv, argc),
                      "accepted is a power of two from 512 up to the "
                      "buffer size in bytes");
      s->verify_block = static_cast<uint32_t>(value);
      return -1;
    case kOptKeepFailed:
      s->keep_failed = true;
      if (optarg != nullptr) {
        if (!read_whole_number(optarg, 0, INT32_MAX, &value))
          return refuse(current_option_text(argv, argc),
                        "accepted is a number of files, 0 or more");
        s->keep_failed_max = static_cast<int32_t>(value);
      }
      return -1;
    case kOptReport:
      if (*optarg == '\0')
        return refuse(current_option_text(argv, argc),
                      "accepted is the path of the report file");
      s->report_path = optarg;
      return -1;
    case kOptStrict:
      s->strict = true;
      return -1;
    case kOptStatusInterval:
      if (!read_whole_number(optarg, 1, INT32_MAX, &value))
        return refuse(current_option_text(argv, argc),
                      "accepted is a whole number of seconds, 1 or more");
      s->status_interval = static_cast<int32_t>(value);
      return -1;
    case kOptDiagnose:
      s->diagnose = true;
      return -1;
    case kOptSweep:
      if (optarg == nullptr) {
        s->sweep = SweepMode::kOn;
      } else if (std::strcmp(optarg, "force") == 0) {
        s->sweep = SweepMode::kForce;
      } else {
        return refuse(current_option_text(argv, argc),
                      "accepted is --sweep or --sweep=force");
      }
      return -1;
    case kOptMemoryBudget:
      if (!read_whole_number(optarg, 0, int64_t{1} << 40, &value))
        return refuse(current_option_text(argv, argc),
                      "accepted is a number of MB, 0 (no limit) or more");
      s->memory_budget_mb = value;
      return -1;
    case kOptJournal:
    case kOptCheckJournal:
      if (*optarg == '\0')
        return refuse(current_option_text(argv, argc),
                      "accepted is the path of the journal");
      (c == kOptJournal ? s->journal : s->check_journal) = optarg;
      return -1;
    case kOptCutAfter:
      if (!read_whole_number(optarg, 0, INT32_MAX, &value))
        return refuse(current_option_text(argv, argc),
                      "accepted is a whole number of seconds, 0 or more");
      s->cut_after_secs = static_cast<int32_t>(value);
      return -1;
    case kOptCutCommand:
      s->cut_command = optarg;
      return -1;
    case kOptMaxErrors:
      if (!read_whole_number(optarg, 0, int64_t{1} << 40, &value))
        return refuse(current_option_text(argv, argc),
                      "accepted is a number of errors, 0 (no limit) or more");
      s->max_errors = value;
      return -1;
    case kOptHtml:
      if (*optarg == '\0')
        return refuse(current_option_text(argv, argc),
                      "accepted is the path of the page file");
      s->html_path = optarg;
      return -1;
    case kOptFromReport:
      if (*optarg == '\0')
        return refuse(current_option_text(argv, argc),
                      "accepted is the path of a report file");
      s->from_report_path = optarg;
      return -1;
    case kOptRuntime:
      if (!parse_duration(optarg, &value))
        return refuse(current_option_text(argv, argc),
                      "accepted is a duration of 1 s or more: a number with "
                      "s, m, h or d (90, 90s, 30m, 8h, 2d)");
      s->runtime_s = value;
      return -1;
    default:
      return -1;
  }
}

}  // namespace

bool parse_duration(const char* text, int64_t* seconds) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  // About 68 years: far beyond any run, and clear of overflow below.
  constexpr int64_t kMaxSeconds = INT32_MAX;
  int64_t value = 0;
  const char* c = text;
  for (; *c >= '0' && *c <= '9'; ++c) {
    value = value * 10 + (*c - '0');
    if (value > kMaxSeconds) return false;
  }
  int64_t unit = 1;
  if (*c != '\0') {
    switch (*c) {
      case 's': unit = 1; break;
      case 'm': unit = 60; break;
      case 'h': unit = 3600; break;
      case 'd': unit = 86400; break;
      default: return false;
    }
    if (c[1] != '\0') return false;
  }
  if (value == 0 || value > kMaxSeconds / unit) return false;
  *seconds = value * unit;
  return true;
}

int32_t parse_signed32(const char* text) {
  bool negative;
  text = skip_prefix(text, &negative);
  // 2^31 as a magnitude covers both bounds.
  uint64_t magnitude = read_digits(text, uint64_t{1} << 31);
  if (negative) return static_cast<int32_t>(-static_cast<int64_t>(magnitude));
  if (magnitude > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(magnitude);
}

uint32_t parse_unsigned32(const char* text) {
  bool negative;
  text = skip_prefix(text, &negative);
  auto value = static_cast<uint32_t>(read_digits(text, UINT32_MAX));
  return negative ? static_cast<uint32_t>(0u - value) : value;
}

namespace {

// The journal options among themselves. Returns -1 to go on, or status 2
// after one line.
int check_journal_options(RunSettings* s) {
  if (s->journal != nullptr) {
    if (sum_asked)
      return refuse("--verify=sum",
                    "a journal needs tagged blocks (--verify=blocks)");
    s->verify_mode = VerifyMode::kBlocks;
  }
  if (s->cut_command != nullptr && s->cut_after_secs < 0)
    return refuse("--cut-command", "it needs --cut-after=SECONDS");
  if (s->cut_after_secs >= 0 && s->journal == nullptr)
    return refuse("--cut-after", "it needs --journal=FILE");
  if (s->check_journal != nullptr && s->journal != nullptr)
    return refuse("--check-journal", "a check runs no workers: no --journal");
  return -1;
}

}  // namespace

int process_options(int argc, char** argv, RunSettings* s, MonitorSettings* m) {
  opterr = 0;
  sum_asked = false;
  int c;
  while ((c = getopt_long(argc, argv, kOptionSet, kLongOptions, nullptr)) !=
         -1) {
    if (c >= kOptHelp) {
      int status = take_long_option(c, argv, argc, s);
      if (status >= 0) return status;
      continue;
    }
    if (c == '?' && (optopt == 0 || optopt >= kOptHelp)) {
      // Long options, unlike the letters, are never passed over in silence.
      if (optopt >= kOptHelp) {
        bool takes_value =
            kLongOptions[optopt - kOptHelp].has_arg == required_argument;
        return refuse(current_option_text(argv, argc),
                      takes_value ? "this option needs a value (--option=VALUE)"
                                  : "this option takes no value");
      }
      return refuse(current_option_text(argv, argc),
                    "unknown or ambiguous option; --help lists the long "
                    "options");
    }
    switch (c) {
      case 'a':
        s->io_tmout_secs = parse_signed32(optarg);
        if (s->io_tmout_secs == 0) s->io_tmout_secs = kDefaultIoTimeoutSecs;
        break;
      case 'A':
        s->alarm_control = true;
        break;
      case 'd':
        // Linux supports direct I/O: the files bypass the page cache.
        s->open_flags |= O_DIRECT;
        break;
      case 'h':
        usage();
      case 'f':
        s->filesize = parse_unsigned32(optarg);
        if (s->filesize == 0) s->filesize = 1;
        break;
      case 'j':
        s->threads = parse_signed32(optarg);
        if (s->threads > kMaxThreads) s->threads = kMaxThreads;
        if (s->threads == 0) s->threads = 1;
        break;
      case 'L':
        s->logfile = optarg;
        break;
      case 'l':
        s->run_forever = true;
        break;
      case 'M':
        s->collect_stats = false;
        break;
      case 'm':
        s->separate_buffers = true;
        break;
      case 'n':
        s->filecount = parse_signed32(optarg);
        if (s->filecount > kMaxFiles) s->filecount = kMaxFiles;
        if (s->filecount == 0) s->filecount = 1;
        break;
      case 'p':
        s->passes = parse_signed32(optarg);
        if (s->passes == 0) s->passes = 1;
        break;
      case 'P':
        s->max_int_num = static_cast<uint32_t>(parse_signed32(optarg));
        // Compared unsigned, so every negative argument gives the maximum.
        if (s->max_int_num > kMaxPrimeLimit) s->max_int_num = kMaxPrimeLimit;
        break;
      case 'O':
        m->monitor_threads = true;
        break;
      case 'o':
        m->actv_mon_tmout = parse_signed32(optarg);
        break;
      case 'r':
        s->random_fill = true;
        break;
      case 'R':
        m->rerun_threads = true;
        break;
      case 's':
        s->bufsize = parse_signed32(optarg);
        // A whole buffer must fit one read or write call, and never be empty.
        if (s->bufsize == 0 || s->bufsize < 0) s->bufsize = 1;
        if (s->bufsize > kMaxBufsizeMb) s->bufsize = kMaxBufsizeMb;
        break;
      case 'S':
        s->random_sleep = true;
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        break;
      case 't':
        s->workdir = optarg;
        break;
      case 'u':
        s->async_break = false;
        break;
      case 'v':
        s->verbose = true;
        break;
      case 'w':
        s->usec = parse_signed32(optarg);
        break;
      case 'y':
        s->sync_writes = true;
        break;
      case 'z':
        s->delete_files = false;
        break;
      default:
        // Unknown letters and a missing final argument pass in silence.
        break;
    }
  }
  int journal_status = check_journal_options(s);
  if (journal_status >= 0) return journal_status;
  if (s->verify_mode == VerifyMode::kBlocks &&
      s->verify_block > buffer_bytes(*s)) {
    char text[64];
    std::snprintf(text, sizeof text, "--verify-block=%lu",
                  static_cast<unsigned long>(s->verify_block));
    return refuse(text, "the block may not be larger than the buffer (-s)");
  }
  if (s->from_report_path != nullptr && s->html_path == nullptr)
    return refuse("--from-report", "it renders a page: give --html=FILE too");
  if (m->monitor_threads && m->actv_mon_tmout == -1) {
    write_message(STDERR_FILENO, "You must set threads monitoring time interval!\n");
    return kExitNoMonitorInterval;
  }
  return -1;
}

uint64_t longest_temp_name(const RunSettings& s, uint64_t max_pid) {
  int last_thread = s.threads > 0 ? s.threads - 1 : 0;
  int last_slot = s.filecount > 0 ? s.filecount - 1 : 0;
  // "<dir>/<pid>_<thread>_<slot>.DUMMY"
  uint64_t length = std::char_traits<char>::length(effective_workdir(s)) + 1 +
                    digits_of(max_pid) + 1 + digits_of(last_thread) + 1 +
                    digits_of(last_slot) + 6;
  // Kept evidence adds ".<pass>.failed", with the largest pass number.
  if (s.keep_failed) length += 1 + digits_of(UINT32_MAX) + 7;
  if (s.rank_dir != nullptr)
    length += std::char_traits<char>::length(s.rank_dir) + 1;
  return length;
}

uint64_t host_max_pid() {
  // The kernel's own ceiling when pid_max cannot be read.
  uint64_t pid_max = 4194304;
  if (FILE* f = std::fopen("/proc/sys/kernel/pid_max", "re")) {
    unsigned long long value;
    if (std::fscanf(f, "%llu", &value) == 1 && value > 1) pid_max = value;
    std::fclose(f);
  }
  return pid_max - 1;  // ids run below pid_max
}

int check_workdir_length(const RunSettings& s) {
  if (longest_temp_name(s, host_max_pid()) > kPathSize - 1) {
    write_message(STDERR_FILENO, "Working catalog name is too long!\n");
    return kExitWorkdirTooLong;
  }
  return 0;
}

void print_help(FILE* e) {
  // The defaults shown are the built-in ones, whatever options came first.
  RunSettings d;
  std::fputs("\n", e);
  std::fprintf(e, "File I/O testing program (with pthreads), version %s\n",
               kVersion);
  std::fputs("Usage: iochurn [-AdfhlMmOrSRuyvz] [-n filecount] [-s bufsize] [-f filesize]\n", e);
  std::fputs("       [-p passes] [-t workdir] [-a io_tmout_secs] [-L logfile] [-j threads]\n", e);
  std::fputs("       [-w usec] [-P max_int_num] [-o actv_mon_tmout]\n", e);
  std::fputs("       -A   use alarm control for r/w ops (default=no)\n", e);
  std::fputs("       -d   direct writing (no caching)\n", e);
  std::fputs("       -h   this help\n", e);
  std::fputs("       -l   run forever\n", e);
  std::fputs("       -m   separate buffers for read and write\n", e);
  std::fputs("       -r   fill buffers with random values\n", e);
  std::fputs("       -y   synchronous writes\n", e);
  std::fputs("       -v   verbose output\n", e);
  std::fputs("       -z   don't delete temporary files\n", e);
  std::fputs("       -M   disable summary statistics collection (default=enable)\n", e);
  std::fputs("       -j   number of threads\n", e);
  std::fputs("       -w   wait microsec before run each thread (default=0)\n", e);
  std::fputs("       -u   disable async. user break signal (default=enable)\n", e);
  std::fputs("       -P   max.int.num to search prime numbers (def.=0, rec.=10000+)\n", e);
  std::fputs("       -O   use active monitoring of threads state\n", e);
  std::fputs("       -o   active monitoring time interval (default=none)\n", e);
  std::fputs("       -R   re-run terminated threads (default=no)\n", e);
  std::fputs("       -S   enable to sleep N random seconds in each thread (default=no)\n", e);
  std::fputs("Default parameters:\n", e);
  std::fprintf(e, "   Passes number:    min=1, def=%d, max=unlimited\n", d.passes);
  std::fprintf(e, "   Files/buffers:    min=1, def=%d, max=%d\n", d.filecount, kMaxFiles);
  std::fprintf(e, "   Buffer size:      min=1 MB, def=%d MB, max=unlimited\n", d.bufsize);
  std::fprintf(e, "   File   size:      min=1 MB, def=%u MB, max=unlimited\n", d.filesize);
  std::fprintf(e, "   Threads number:   min=1, def=%d, max=%d\n", d.threads, kMaxThreads);
  std::fprintf(e, "   Working catalog:  %s\n", kDefaultWorkdir);
  std::fprintf(e, "   I/O op. timeout:  %d seconds\n", d.io_tmout_secs);
  std::fputs("Screen output symbols:\n", e);
  std::fputs("   w=writing, r=reading, *=full buffer, .=partial buffer\n", e);
  std::fputs("Sample command line:\n", e);
  std::fputs("   ./iochurn -vluSRO -j 2 -s 100 -f 6500 -t /test_dir -o 60\n", e);
  std::fputs("   ./iochurn -vlr -s 400 -f 1600 -t /media1\n", e);
  std::fputs("   ./iochurn -vlr -s 500\n", e);
}

void usage() {
  print_help(stderr);
  std::exit(kExitHelp);
}

}  // namespace iochurn
