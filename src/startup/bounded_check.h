// Start-up steps that touch the file system under test (the pre-flight
// checks, the sweep), each run on a helper thread with a time bound, so that
// a file system that stopped answering cannot hang the program before any
// worker runs.
#ifndef IOCHURN_STARTUP_BOUNDED_CHECK_H_
#define IOCHURN_STARTUP_BOUNDED_CHECK_H_

#include <cstddef>
#include <cstdint>

namespace iochurn {

// How long a start-up step may go without an answer (time the process was
// stopped does not count).
constexpr int64_t kCheckBoundMs = 5000;

// Room for a step's inputs and outputs, copied in and out by the caller.
constexpr size_t kCheckIoSize = 1024;

using CheckRoutine = int (*)(void* io);

// Runs `routine(io)` on a helper thread, on a private copy of the
// `io_size` bytes at `io`, and waits up to kCheckBoundMs. Returns true with
// the routine's result in *result and its copy copied back to `io` when it
// returned in time. Otherwise writes one line on standard error,
// "iochurn: <check> of <path> gave no answer in 5 s; going on without it",
// and returns false (the line only when `tell`: a step every run takes
// says nothing new without --diagnose); the helper keeps its copy until it
// returns, if ever.
// When no helper can be started the routine runs here, unbounded. Main
// thread, at start-up.
bool run_bounded_check(const char* check, const char* path,
                       CheckRoutine routine, void* io, size_t io_size,
                       int* result, bool tell = true);

}  // namespace iochurn

#endif  // IOCHURN_STARTUP_BOUNDED_CHECK_H_
