// Pre-flight warnings: before the workers start, say which parts of the
// run cannot work as asked, so that thousands of identical error lines are
// not the first sign.
#ifndef IOCHURN_STARTUP_PREFLIGHT_H_
#define IOCHURN_STARTUP_PREFLIGHT_H_

#include <cstdint>

#include "config/run_settings.h"

namespace iochurn {

// With --diagnose, writes one warning line on standard error (one write
// each) for each of these, in this order, and nothing when all is well:
// - the working directory does not exist, is not a directory or cannot be
//   written (tried with an O_TMPFILE open, which leaves no name behind,
//   or access() where the file system refuses O_TMPFILE): every open
//   will fail;
// - the first pass writes more than the free space of the working
//   directory's file system: writes will fail with ENOSPC;
// - the buffers held at once exceed `budget_bytes` (negative: no budget):
//   allocations past it fail as ERR [malloc];
// - the pass log cannot be opened for appending: no pass will be logged.
// Changes nothing on disk. Returns the number of warnings. Without
// --diagnose does nothing and returns 0. Main thread, before the workers
// start.
int preflight_warnings(const RunSettings& s, int64_t budget_bytes);

}  // namespace iochurn

#endif  // IOCHURN_STARTUP_PREFLIGHT_H_
