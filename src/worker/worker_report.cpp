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
  if (!compare) record_counted_error(w->index, false);
  record_error(w->index, site.op, site.slot, w->slots[site.slot].path,
               site.offset, site.asked, site.moved, site.error, site.kind,
               w->pass);
  // One write, with the line prefix of the multi-host program when set.
  va_list args;
  va_start(args, format);
  write_long_message_list(STDERR_FILENO, format, args);
  va_end(args);
  if (!compare) count_toward_error_limit();
}

void count_compare_error(Worker* w) {
  record_counted_error(w->index, true);
  count_toward_error_limit();
}

Totals run_counts(const Worker* w) {
  Totals now = record_counts(w->index);
  const Totals& before = w->counted_before;
  return {now.bytes_read - before.bytes_read,
          now.bytes_written - before.bytes_written,
          now.compare_errors - before.compare_errors,
          now.other_errors - before.other_errors};
}

void verbose_line(const char* format, ...) {
  if (!settings.verbose) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

// Standard output is unbuffered (run_program): the symbol shows at once.
void put_symbol(char symbol) { std::fputc(symbol, stdout); }

}  // namespace iochurn
