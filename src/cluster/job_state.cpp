// Combining rounds and deciding from them.
#include "cluster/job_state.h"

#include <cstdio>

#include "exit_status.h"

namespace iochurn {

namespace {

// Stop statuses from the lowest rank to the highest.
constexpr int kStopOrder[] = {kExitBreak, kExitRerunFailed, kExitStartFailed,
                              kExitBreakSetupFailed, kExitWorkdirTooLong,
                              kExitNoMonitorInterval, kExitBadLongOption};

// Key layout: precedence above bit 40, the status in bits 20..39, the rank
// in bits 0..19 (a million ranks).
constexpr int kStatusShift = 20;
constexpr int kPrecedenceShift = 40;
constexpr int64_t kRankMask = (int64_t{1} << kStatusShift) - 1;

int64_t max64(int64_t a, int64_t b) { return a > b ? a : b; }

bool fits(int n, size_t size) { return n >= 0 && static_cast<size_t>(n) < size; }

}  // namespace

void combine_rounds(const RoundState& in, RoundState* inout) {
  inout->stop_key = max64(in.stop_key, inout->stop_key);
  inout->break_key = max64(in.break_key, inout->break_key);
  inout->running = max64(in.running, inout->running);
  inout->strict_bits |= in.strict_bits;
  inout->passes_completed += in.passes_completed;
  inout->bytes_written += in.bytes_written;
  inout->bytes_read += in.bytes_read;
  inout->compare_errors += in.compare_errors;
  inout->other_errors += in.other_errors;
  inout->stalled += in.stalled;
}

int64_t stop_key_of(int status, int rank) {
  if (status <= 0 || status >= kExitStrictBase) return 0;
  int64_t precedence = 1;
  int place = 2;
  for (int s : kStopOrder) {
    if (s == status) precedence = place;
    ++place;
  }
  return (precedence << kPrecedenceShift) |
         (int64_t{status} << kStatusShift) | (rank & kRankMask);
}

int status_of_stop_key(int64_t key) {
  return static_cast<int>((key >> kStatusShift) & 0xFFFFF);
}

int rank_of_stop_key(int64_t key) { return static_cast<int>(key & kRankMask); }

int64_t break_key_of(int code, EndCause cause, bool at_once) {
  return (int64_t{at_once ? 1 : 0} << 40) |
         (int64_t{static_cast<uint8_t>(cause)} << 32) |
         static_cast<uint32_t>(code);
}

BreakInfo break_of_key(int64_t key) {
  BreakInfo b;
  b.code = static_cast<int>(key & 0xFFFFFFFF);
  b.cause = static_cast<EndCause>((key >> 32) & 0xFF);
  b.at_once = ((key >> 40) & 1) != 0;
  return b;
}

int job_exit_status(const RoundState& job, bool strict) {
  int stop = status_of_stop_key(job.stop_key);
  if (stop != 0) return stop;
  int bits = static_cast<int>(job.strict_bits & 0xF);
  if (strict && bits != 0) return kExitStrictBase + bits;
  return kExitOk;
}

int silent_job_status(const int* statuses, int count, bool strict) {
  RoundState job{};
  job.strict_bits = kStrictTimeout;
  for (int i = 0; i < count; ++i) {
    job.stop_key = max64(job.stop_key, stop_key_of(statuses[i], i));
    if (statuses[i] >= kExitStrictBase) job.strict_bits |= statuses[i] - kExitStrictBase;
  }
  return job_exit_status(job, strict);
}

const char* refusal_text(int status) {
  switch (status) {
    case kExitBadLongOption:
      return "a long option was refused";
    case kExitNoMonitorInterval:
      return "You must set threads monitoring time interval!";
    case kExitWorkdirTooLong:
      return "Working catalog name is too long!";
    case kExitBreakSetupFailed:
      return "cannot set up break handling";
    case kExitStartFailed:
      return "Thread creation failed. Terminate.";
    default:
      return "the start was refused";
  }
}

bool format_rank_dir(char* out, size_t size, const char* host, int rank) {
  return fits(std::snprintf(out, size, "%s.%d", host, rank), size);
}

bool format_line_prefix(char* out, size_t size, const char* host, int rank) {
  return fits(std::snprintf(out, size, "[%s:%d] ", host, rank), size);
}

}  // namespace iochurn
