// Worker error lines, verbose lines and progress symbols.
#include "worker/worker_report.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "guard/error_limit.h"
#include "platform/message.h"

namespace iochurn {

void report_worker_error(Worker* w, const ErrorSite& site, const char* format,
                         ...) {
  bool compare = site.op == Op::kChksum || site.op == Op::kVerify;
  if (!compare) {
    w->counters.other_errors++;
    record_counted_error(w->index, false);
  }
  record_error(w->index, site.op, site.slot, w->slots[site.slot].path,
               site.offset, site.asked, site.moved, site.error);
  // One write, with the line prefix of the multi-host program when set.
  va_list args;
  va_start(args, format);
  write_long_message_list(STDERR_FILENO, format, args);
  va_end(args);
  if (!compare) count_toward_error_limit();
}

void count_compare_error(Worker* w) {
  w->counters.compare_errors++;
  record_counted_error(w->index, true);
  count_toward_error_limit();
}

void verbose_line(const char* format, ...) {
  if (!settings.verbose) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

void put_symbol(char symbol) {
  std::fputc(symbol, stdout);
  std::fflush(stdout);
}

}  // namespace iochurn
