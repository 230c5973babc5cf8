// The name of a temporary file, "<dir>/<pid>_<thread>_<slot>.DUMMY": built
// by the workers, the hang lines, the clean-up and the report alike, and
// read back by the sweep of leftovers and the report's list of files.
#ifndef IOCHURN_TEMPFILE_TEMP_NAME_H_
#define IOCHURN_TEMPFILE_TEMP_NAME_H_

#include <cstddef>
#include <cstdint>

namespace iochurn {

// Formats "<dir>/<pid>_<thread>_<slot>.DUMMY" into `out`. Returns false when
// it does not fit `size` bytes (the run refuses such directories up front).
// Any thread; async-signal-safe use is not promised.
bool build_temp_path(char* out, size_t size, const char* dir, int pid,
                     int thread, int slot);

// The numbers of a file name (no directory).
struct TempName {
  int64_t pid;
  int64_t thread;
  int64_t slot;
};

// True when `name` is exactly "<pid>_<thread>_<slot>.DUMMY" with plain
// decimal numbers (no sign, no leading zero, pid from 1, each at most 9
// digits); `out` then holds them. A name the workers could not have built
// is never taken for one of theirs. Pure.
bool parse_temp_name(const char* name, TempName* out);

}  // namespace iochurn

#endif  // IOCHURN_TEMPFILE_TEMP_NAME_H_
