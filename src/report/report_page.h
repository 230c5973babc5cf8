// The page of a run rendered from a report file alone (--html with
// --from-report), for reports of remote hosts and multi-host jobs.
#ifndef IOCHURN_REPORT_REPORT_PAGE_H_
#define IOCHURN_REPORT_REPORT_PAGE_H_

namespace iochurn {

// Reads the report at `report_path`, renders its page and writes it whole
// to `html_path` (temporary file and rename). Returns the exit status: 0,
// or 2 after one line on standard error when the report cannot be read, is
// not a report of this program, or the page cannot be written. Main
// thread; runs nothing else.
int write_page_from_report(const char* report_path, const char* html_path);

// 0 when --html can be served by this build, else 2 after one line naming
// the package that provides the chart library. Main thread.
int check_page_available();

}  // namespace iochurn

#endif  // IOCHURN_REPORT_REPORT_PAGE_H_
