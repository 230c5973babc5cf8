// Writing the run's JSON report to its file: writers serialised, the final
// document the last one on disk, and a bound on the break path.
#ifndef IOCHURN_REPORT_REPORT_WRITER_H_
#define IOCHURN_REPORT_REPORT_WRITER_H_

#include <cstdint>

#include "report/json_report.h"

namespace iochurn {

// Builds and writes the report and the page, those asked for. Writers are serialised,
// and once a final report is written a later non-final one (an interval
// write racing with the end) is skipped, so the last document on disk is the
// final one. The first failure prints one line on standard error. Main
// thread, the status thread, the break path.
struct ReportWriteResult {
  bool skipped;  // no report asked for, or a running one after the final
  int error;     // 0 when written (or skipped), else the errno value
};
ReportWriteResult write_report(bool final, const Totals* totals);

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

// Forgets that a final report was written and that a write failed, for
// the run report_setup starts. Main thread, before any writer runs.
void reset_report_writer();

}  // namespace iochurn

#endif  // IOCHURN_REPORT_REPORT_WRITER_H_
