// The run's JSON report: one document describing the settings, how the run
// ended, the totals, rates, latencies and errors, always replaced whole on
// disk (a temporary file in the same directory, then rename).
#ifndef IOCHURN_REPORT_JSON_REPORT_H_
#define IOCHURN_REPORT_JSON_REPORT_H_

#include <cstdint>
#include <string>

#include "config/run_settings.h"
#include "ledger/run_record.h"
#include "ledger/summary.h"

namespace iochurn {

// Version of the document's layout; raised whenever a field changes meaning
// or goes away (new fields may appear without it).
constexpr int kReportFormatVersion = 1;

// What the report needs to know besides the process-wide state. The
// strings must live for the whole process (argv does).
struct ReportSetup {
  const char* path = nullptr;  // the report file; nullptr: no report
  const char* html_path = nullptr;  // the page of the run; nullptr: none
  int argc = 0;
  char** argv = nullptr;
  MonitorSettings monitor;
};

// Takes the setup, the host's name and kernel release, and the working
// directory's file system type and mount options (looked up now, while the
// file system is known to answer). Main thread, after the option loop and
// before any worker or report writer runs.
void report_setup(const ReportSetup& setup);

// True when a report file or a page was asked for.
bool report_enabled();

// The report file; nullptr when none was asked for.
const char* report_file();

// The page file (--html); nullptr when none was asked for.
const char* page_file();

// Builds the whole document from the run record, the outcome and the
// settings. `totals`: the summary's, which the caller hands to the final
// report of an orderly end so that the report agrees with the printed
// summary; nullptr: the totals are the live sums of the workers'
// records (a running report, or an emergency end where workers never added
// to the summary). Any thread; allocates; not async-signal-safe. Invalid
// UTF-8 in a path is replaced in the text and its bytes added in hex.
std::string build_report(const Totals* totals);

// The same document once, as the report's text into `*report` and drawn as
// the page into `*page`; either may be nullptr. Returns 0, or the page's
// error (ENOTSUP without the chart library). Same threads as build_report.
int build_report_and_page(const Totals* totals, std::string* report, std::string* page);

// One process of a multi-host job, as rank 0's report lists it.
struct RankSection {
  int32_t rank;
  int32_t pid;
  int32_t exit_status;     // what the process would have ended with alone
  uint8_t ended;           // EndCause of the process
  int32_t signal_number;   // with EndCause::kSignal
  char host_name[72];      // cut to fit
  char workdir[kPathSize];  // the process's own directory
  Totals totals;           // its summary
  uint64_t files_different;
  uint64_t passes_completed;
  uint64_t errors_by_op[kOpCount];
};

// Hands the final report the sections of every process of a multi-host job
// (rank 0, before its final report). The document then gains "ranks", one
// object per section in order, and its totals and errors_by_operation are
// the sums over the sections, so that the sections add up to them. `count`
// 0 takes them away again. Main thread.
void report_set_ranks(const RankSection* sections, int count);

}  // namespace iochurn

#endif  // IOCHURN_REPORT_JSON_REPORT_H_
