// The run's JSON report: one document describing the settings, how the run
// ended, the totals, rates, latencies and errors, always replaced whole on
// disk (a temporary file in the same directory, then rename).
#ifndef IOCHURN_REPORT_JSON_REPORT_H_
#define IOCHURN_REPORT_JSON_REPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/run_settings.h"
#include "report/rank_detail.h"
#include "report/run_record.h"

namespace iochurn {

// Version of the document's layout; raised whenever a field changes meaning
// or goes away (new fields may appear without it).
constexpr int kReportFormatVersion = 1;

// What the report needs to know besides the process-wide state. The
// strings must live for the whole process (argv does).
struct ReportSetup {
  const char* path = nullptr;  // the report file; nullptr: no report
  int argc = 0;
  char** argv = nullptr;
  MonitorSettings monitor;
};

// Takes the setup, the host's name and kernel release, and the working
// directory's file system type and mount options (looked up now, while the
// file system is known to answer). Main thread, after the option loop and
// before any worker or report writer runs.
void report_setup(const ReportSetup& setup);

// True when a report file was asked for.
bool report_enabled();

// The summary's totals, as the caller hands them to the final report of an
// orderly end so that the report agrees with the printed summary.
struct ReportTotals {
  uint64_t bytes_read;
  uint64_t bytes_written;
  uint64_t compare_errors;
  uint64_t other_errors;
};

// Builds the whole document from the run record, the outcome and the
// settings. `totals` nullptr: the totals are the live sums of the workers'
// records (a running report, or an emergency end where workers never added
// to the summary). Any thread; allocates; not async-signal-safe. Invalid
// UTF-8 in a path is replaced in the text and its bytes added in hex.
std::string build_report(const ReportTotals* totals);

// Writes `text` to `path` as a whole: into a temporary file beside it, then
// renamed over it, so a reader sees the old document or the new one, never
// half of one. Returns 0 or an errno value; leaves no temporary file behind
// on failure. Any thread.
int write_file_whole(const char* path, const char* text, size_t size);

// Builds and writes the report, if one was asked for. Writers are serialised,
// and once a final report is written a later non-final one (an interval
// write racing with the end) is skipped, so the last document on disk is the
// final one. The first failure prints one line on standard error. Returns 0,
// an errno value, or -1 when skipped. Main thread, the status thread, the
// break path.
int write_report(bool final, const ReportTotals* totals);

// The final report from the break path of the emergency clean-up: built and
// written on a helper thread, waited for at most `limit_ms`, so a report on a
// hung file system cannot hold the exit. Returns 0 when it was written in
// time, ETIMEDOUT otherwise (the helper may still finish while the process
// ends). Any thread.
int write_report_bounded(int64_t limit_ms);

// The break path of the emergency clean-up (-u), after the files are gone:
// records the emergency clean-up and exit status 1, then writes the final
// report within `limit_ms` (write_report_bounded). No-op without a report
// but for the records. Any thread.
void write_emergency_report(int64_t limit_ms);

// One process of a multi-host job, as rank 0's report lists it.
struct RankSection {
  int32_t rank;
  int32_t pid;
  int32_t exit_status;     // what the process would have ended with alone
  uint8_t ended;           // EndCause of the process
  int32_t signal_number;   // with EndCause::kSignal
  char host_name[72];      // cut to fit
  char workdir[kPathSize];  // the process's own directory
  ReportTotals totals;     // its summary
  uint64_t files_different;
  uint64_t passes_completed;
  uint64_t errors_by_op[kOpCount];
  bool has_detail;         // false: only what rank 0 knew of a silent one
  RankDetail detail;
};

// One error of some process of a multi-host job, for rank 0's report.
struct RankError {
  int32_t rank;
  ErrorEntry entry;
};

// Hands the final report the sections of every process of a multi-host job
// (rank 0, before its final report). The document then gains "ranks", one
// object per section in order, and its totals and errors_by_operation are
// the sums over the sections, so that the sections add up to them. `count`
// 0 takes them away again. Main thread.
void report_set_ranks(const RankSection* sections, int count);

// Hands the final report the errors of every process (rank 0: all of its
// own, the others' first kRankErrorEntries each), in rank order. Each
// section lists its own, and the document's "errors" all of them, each with
// its rank, up to kMaxErrorEntries. Main thread, with report_set_ranks.
void report_set_rank_errors(const RankError* errors, int count);

// A multi-host job whose start was refused: the document gains "refused",
// the process that refused, the status it gave and its line. Rank 0, main
// thread, before its final report.
void report_set_refusal(int rank, int exit_status, const char* message);

// Helpers shared with the tests.

// True when `size` bytes at `text` are valid UTF-8 (no overlongs, no
// surrogates, nothing past U+10FFFF).
bool is_valid_utf8(const char* text, size_t size);

// Lower-case hex of `size` bytes.
std::string hex_bytes(const char* text, size_t size);

// "YYYY-MM-DDThh:mm:ss.mmmZ" for a wall-clock time in nanoseconds.
std::string iso8601_utc(int64_t wall_ns);

// Name of a file system magic number as statfs gives it ("ext4", "xfs",
// "tmpfs", ...), or nullptr when not one of the common ones.
const char* fs_type_name(uint64_t magic);

}  // namespace iochurn

#endif  // IOCHURN_REPORT_JSON_REPORT_H_
