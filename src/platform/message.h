// Short console messages written with one call each.
#ifndef IOCHURN_PLATFORM_MESSAGE_H_
#define IOCHURN_PLATFORM_MESSAGE_H_

namespace iochurn {

// Size of the buffer of the one-write messages: the break notice and the
// clean-up failure lines. Longer text is cut, never split into two writes.
constexpr int kMessageBufferSize = 128;

// Formats into a kMessageBufferSize buffer and hands it to `fd` with one
// unbuffered write, so that it never interleaves with other threads' lines.
// Any thread; not async-signal-safe (it formats with snprintf).
void write_message(int fd, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The same for text of any length up to `kLongMessageSize` bytes (error
// lines that carry a path). Any thread.
constexpr int kLongMessageSize = 1024;
void write_long_message(int fd, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_MESSAGE_H_
