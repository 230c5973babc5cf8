// The live status line: one "status:" line of key=value pairs on standard
// error every --status-interval seconds while the workers run.
#ifndef IOCHURN_REPORT_STATUS_LINE_H_
#define IOCHURN_REPORT_STATUS_LINE_H_

#include <cstddef>
#include <cstdint>

#include "ledger/summary.h"

namespace iochurn {

// The figures one status line is made of, read from the run record.
struct StatusSample {
  uint64_t at_ns;  // monotonic clock when taken
  int64_t wall_ns;  // wall clock when taken
  uint64_t elapsed_ns;  // since the run started
  uint64_t passes_completed;
  Totals counts;  // the live totals
  uint64_t bad_blocks;  // of every kind, a lost tail as one
  int stalled;  // transfers running longer than the interval
};

// Reads the records of indices [0, workers) now; a transfer counts as
// stalled when it has run longer than `stall_ns`. Any thread; no lock.
StatusSample take_status_sample(int workers, uint64_t stall_ns);

// Formats one line of fixed fields into `out`:
// "status: time=2026-05-04T10:20:30+02:00 elapsed_s=120.4 passes=37
// written=1048576000 read=1040187392 write_MiBps=812.3 read_MiBps=790.1
// compare_errors=0 other_errors=0 bad_blocks=0 stalled=0\n" (one line):
// the local time of `now`, the elapsed time in tenths (cut, not rounded, so
// it never runs ahead), the byte totals, the rates over the time from
// `previous` to `now` (0.0 when no time passed). Returns the length
// written, the newline included, cut to fit `size`; the caller writes it
// with one call.
int format_status_line(const StatusSample& now, const StatusSample& previous,
                       char* out, size_t size);

// Tenths of a second shown as elapsed_s for `sample`.
uint64_t elapsed_tenths(const StatusSample& sample);

// "YYYY-MM-DDThh:mm:ss+hh:mm" in local time for a wall-clock time in
// nanoseconds, into `out` (at least 32 bytes). Any thread.
void iso8601_local(int64_t wall_ns, char* out, size_t size);

}  // namespace iochurn

#endif  // IOCHURN_REPORT_STATUS_LINE_H_
