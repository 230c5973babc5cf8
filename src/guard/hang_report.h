// Naming the call a worker is stuck in (--diagnose): a HUNG line when a
// watchdog expires or the wait on a worker times out, a SLOW line for a
// call that has outlasted the status interval.
//
// The line, written with one call on standard error:
//   Thread <t>: HUNG [<op>]: <bytes> bytes at offset <offset> of <path> for
//   <seconds> s (task <tid> state <state> wchan <wchan>)
// where calls without a byte range (sync, close, unlink, open) name only
// <path>, and a line end comes first when standard output and standard
// error are terminals (the progress symbols end no line).
// followed, for HUNG and where /proc/self/task/<tid>/stack can be read
// (root), by the kernel stack, one frame a line, each "Thread <t>:   ".
// The call comes from the worker's published activity (lock-free), the
// path is rebuilt from the process id, thread index and slot as the worker
// names its files, state and wchan from /proc/self/task/<tid>/{stat,wchan}.
#ifndef IOCHURN_GUARD_HANG_REPORT_H_
#define IOCHURN_GUARD_HANG_REPORT_H_

#include <cstddef>
#include <cstdint>

#include "ledger/run_record.h"

namespace iochurn {

// At a wait time-out, a worker inside a call that began at least this long
// ago is named.
constexpr int64_t kStuckAfterMs = 1000;

// With --diagnose, names the call worker `thread` is inside, if any. The
// worker's watchdog, as it expires, before the break. Returns 1 when a line
// was written, else 0.
int report_hung_worker(int thread);

// With --diagnose, names every worker inside a call that began at least
// kStuckAfterMs ago. The main thread, when the wait on a worker times out,
// before the break. Returns the number of lines written.
int report_hung_transfers();

// With --diagnose, names once (per call) every worker inside a call that
// began more than `threshold_ms` ago but has not yet reached the watchdog
// limit (-A); such a call past the limit is left to its HUNG line. The
// status thread, once per interval. Returns the number of lines written.
int report_slow_transfers(int64_t threshold_ms);

// Formats "<dir>/<pid>_<thread>_<slot>.DUMMY" for this process with the
// workers' own build_temp_path, so that their files can be
// named without reading anything they publish. False when it does not fit.
// Any thread.
bool worker_file_path(char* out, size_t size, int thread, int slot);

}  // namespace iochurn

#endif  // IOCHURN_GUARD_HANG_REPORT_H_
