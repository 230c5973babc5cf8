// Option loop and help text.
#include "config/options.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <ctime>

#include "driver/exit_status.h"

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

}  // namespace

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

int process_options(int argc, char** argv, RunSettings* s, MonitorSettings* m) {
  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, kOptionSet)) != -1) {
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
  if (m->monitor_threads && m->actv_mon_tmout == -1) {
    std::fputs("You must set threads monitoring time interval!\n", stderr);
    return kExitNoMonitorInterval;
  }
  return -1;
}

uint64_t longest_temp_name(const RunSettings& s, uint64_t max_pid) {
  int last_thread = s.threads > 0 ? s.threads - 1 : 0;
  int last_slot = s.filecount > 0 ? s.filecount - 1 : 0;
  // "<dir>/<pid>_<thread>_<slot>.DUMMY"
  return std::char_traits<char>::length(effective_workdir(s)) + 1 +
         digits_of(max_pid) + 1 + digits_of(last_thread) + 1 +
         digits_of(last_slot) + 6;
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
    std::fputs("Working catalog name is too long!\n", stderr);
    return kExitWorkdirTooLong;
  }
  return 0;
}

void usage() {
  // The defaults shown are the built-in ones, whatever options came first.
  RunSettings d;
  reset_run_settings(&d);
  FILE* e = stderr;
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
  std::exit(kExitHelp);
}

}  // namespace iochurn
