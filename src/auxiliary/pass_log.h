// The pass log: one time-stamped line per call, appended whole.
#ifndef IOCHURN_AUXILIARY_PASS_LOG_H_
#define IOCHURN_AUXILIARY_PASS_LOG_H_

#include <cstddef>
#include <ctime>

namespace iochurn {

// Appends "<time stamp>: <text>" to `file`, opening and closing it on every
// call. The text brings its own line end. Prints nothing and allocates
// nothing. Any number of threads may append to the same file at once: each
// line goes out in one append-mode write, so lines never split or
// interleave.
enum class PassLogResult {
  kHandedOver = 0,   // the line was handed to the file
  kNoFileOrText = -1,  // `file` or `text` is null
  kCannotOpen = -2,  // the file cannot be opened for appending
};
PassLogResult log_pass(const char* file, const char* text);

// Formats `when` as local time "%a %b %d %H:%M:%S %Y" into `out`.
void format_time_stamp(time_t when, char* out, size_t size);

}  // namespace iochurn

#endif  // IOCHURN_AUXILIARY_PASS_LOG_H_
