// A page from a report file.
#include "report/report_page.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "exit_status.h"
#include "html/page.h"
#include "platform/whole_file.h"
#include "report/json_report.h"

namespace iochurn {

int check_page_available() {
  if (page_available()) return kExitOk;
  std::fprintf(stderr,
               "iochurn: --html: this build has no chart library; install %s "
               "and build again\n",
               page_library_package());
  return kExitBadLongOption;
}

int write_page_from_report(const char* report_path, const char* html_path) {
  nlohmann::ordered_json report;
  int error = 0;
  switch (read_report_file(report_path, &report, &error)) {
    case kReportFileOk:
      break;
    case kReportFileUnreadable:
      std::fprintf(stderr, "iochurn: --from-report: cannot read %s: %s\n",
                   report_path, std::strerror(error));
      return kExitBadLongOption;
    case kReportFileNotJson:
    case kReportFileNotOurs:
      std::fprintf(stderr, "iochurn: --from-report: %s is not a report of iochurn\n",
                   report_path);
      return kExitBadLongOption;
  }
  std::string page;
  int rc = render_page(report, &page);
  if (rc == 0) rc = write_file_whole(html_path, page.data(), page.size());
  if (rc != 0) {
    std::fprintf(stderr, "iochurn: --html: cannot write %s: %s\n", html_path,
                 std::strerror(rc));
    return kExitBadLongOption;
  }
  return kExitOk;
}

}  // namespace iochurn
