// --max-errors: the orderly stop once compare and other errors together
// reach a limit, so that a read-only mount or a dying disk does not print
// thousands of error lines a second for ever.
#ifndef IOCHURN_GUARD_ERROR_LIMIT_H_
#define IOCHURN_GUARD_ERROR_LIMIT_H_

#include <cstdint>

namespace iochurn {

// Counts `errors` compare or other errors toward settings.max_errors. The
// call that makes the count reach the limit writes
// "iochurn: <N> errors reached; stopping" on standard error (one write) and
// takes the orderly stop with the end cause "max-errors" (no signal, no
// notice). Returns true once the limit has been reached, by this call or
// an earlier one; false, and counts nothing, when there is no limit.
// Workers, after the error's own line; lock-free.
bool count_toward_error_limit(uint64_t errors = 1);

// A multi-host job counts toward one limit: `job_errors` is the whole
// job's count as the heartbeat carries it. Once it reaches the limit this
// process takes the same orderly stop; `speak` (rank 0) writes the line.
// Main thread of iochurn-mpi; lock-free.
void note_job_errors(uint64_t job_errors, bool speak);

// True once the limit has been reached: a worker then leaves its phase at
// its next file instead of failing every file of it. Any thread;
// lock-free.
bool error_limit_reached();

// Back to no errors counted. Tests only.
void reset_error_limit_for_test();

}  // namespace iochurn

#endif  // IOCHURN_GUARD_ERROR_LIMIT_H_
