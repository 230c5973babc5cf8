// Writing the JSON report and its page.
#include "report/report_writer.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "config/run_settings.h"
#include "exit_status.h"
#include "platform/bounded_call.h"
#include "platform/message.h"
#include "platform/mutex.h"
#include "platform/whole_file.h"
#include "ledger/run_outcome.h"
#include "report/report_text.h"
#include "report/timeline.h"

namespace iochurn {

namespace {

// Serialises writers; once `final_written` is set, non-final writes are
// skipped. The report_failed and page_failed flags keep the failure line
// to one per file.
Mutex writer_lock;
bool final_written GUARDED_BY(writer_lock) = false;
std::atomic<bool> report_failed{false};
std::atomic<bool> page_failed{false};

// The first failure of each file is told once; `final_told` (the final
// report under --strict, which decides the exit status) is told again, at
// the end.
void note_write_failure(std::atomic<bool>* failed, const char* what,
                        const char* path, int error, bool final_told) {
  if (error == 0 || (failed->exchange(true) && !final_told)) return;
  std::string line = std::string("iochurn: cannot write the ") +
                     (final_told ? "final " : "") + what + " " + path + ": " +
                     error_text(error) + "\n";
  write_lines(STDERR_FILENO, line.data(), line.size());
}

int run_writer(void*) { return write_report(true, nullptr).error; }

}  // namespace

void reset_report_writer() {
  MutexLock lock(&writer_lock);
  final_written = false;
  report_failed.store(false);
  page_failed.store(false);
}

ReportWriteResult write_report(bool final, const Totals* totals) {
  if (!report_enabled()) return {true, 0};
  MutexLock lock(&writer_lock);
  if (final_written && !final) return {true, 0};
  const char* report_path = report_file();
  const char* page_path = page_file();
  std::string text, page;
  int page_rc = build_report_and_page(totals, report_path != nullptr ? &text : nullptr,
                                      page_path != nullptr ? &page : nullptr);
  if (final) final_written = true;
  int rc = 0;
  if (report_path != nullptr) {
    rc = write_file_whole(report_path, text.data(), text.size());
    note_write_failure(&report_failed, "report", report_path, rc,
                       final && settings.strict);
  }
  if (page_path != nullptr) {
    if (page_rc == 0) page_rc = write_file_whole(page_path, page.data(), page.size());
    note_write_failure(&page_failed, "page", page_path, page_rc, false);
    if (rc == 0) rc = page_rc;
  }
  return {false, rc};
}

int write_report_bounded(int64_t limit_ms) {
  if (!report_enabled()) return 0;
  int rc = 0;
  switch (run_bounded(run_writer, nullptr, limit_ms, nullptr, &rc)) {
    case BoundedEnd::kInline:  // no thread to spare: written here, unbounded
      return rc;
    case BoundedEnd::kReturned:
      return rc == 0 ? 0 : EIO;
    case BoundedEnd::kTimedOut:
      break;
  }
  return ETIMEDOUT;
}

void write_emergency_report(int64_t limit_ms) {
  note_emergency_cleanup();
  set_exit_status(kExitBreak);
  // The seconds up to the break belong to the run over time too.
  timeline_sample_now(settings.threads > 0 ? settings.threads : 0, 1000000000u);
  if (write_report_bounded(limit_ms) != ETIMEDOUT) return;
  // The writer is stuck on a file system that stopped answering: its
  // temporary files stay beside the report and the page.
  for (const char* path : {report_file(), page_file()}) {
    char temp[kPathSize + 64];
    if (path != nullptr && whole_file_temp_path(path, temp, sizeof temp))
      write_long_message(STDERR_FILENO, "iochurn: may remain: %s\n", temp);
  }
}

}  // namespace iochurn
