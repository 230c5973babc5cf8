// Writing the JSON report.
#include "report/report_writer.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "exit_status.h"
#include "platform/bounded_call.h"
#include "platform/message.h"
#include "platform/mutex.h"
#include "platform/whole_file.h"
#include "report/report_text.h"
#include "ledger/run_outcome.h"

namespace iochurn {

namespace {

// Serialises writers; once `final_written` is set, non-final writes are
// skipped. The report_failed flag keeps the failure line to one.
Mutex writer_lock;
bool final_written GUARDED_BY(writer_lock) = false;
std::atomic<bool> report_failed{false};

int run_writer(void*) { return write_report(true, nullptr).error; }

}  // namespace

void reset_report_writer() {
  MutexLock lock(&writer_lock);
  final_written = false;
  report_failed.store(false);
}

ReportWriteResult write_report(bool final, const Totals* totals) {
  if (!report_enabled()) return {true, 0};
  MutexLock lock(&writer_lock);
  if (final_written && !final) return {true, 0};
  std::string text = build_report(totals);
  int rc = write_file_whole(report_file(), text.data(), text.size());
  if (final) final_written = true;
  if (rc != 0 && !report_failed.exchange(true)) {
    std::string line = "iochurn: cannot write the report " +
                       std::string(report_file()) + ": " +
                       error_text(rc) + "\n";
    write_lines(STDERR_FILENO, line.data(), line.size());
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
  write_report_bounded(limit_ms);
}

}  // namespace iochurn
