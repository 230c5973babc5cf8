// Short console messages written with one call each.
#ifndef IOCHURN_PLATFORM_MESSAGE_H_
#define IOCHURN_PLATFORM_MESSAGE_H_

#include <cstdarg>
#include <cstddef>

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

// write_long_message for a caller that has its own argument list.
void write_long_message_list(int fd, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

// Writes `size` bytes of finished text, any number of lines, with the line
// prefix (below) in front of every line on standard error; one write while
// the text and its prefixes fit kLongMessageSize * 4 bytes. Any thread.
void write_lines(int fd, const char* text, size_t size);

// Room for the line prefix, on top of the sizes above: a host name of up to
// 64 bytes and a process number fit.
constexpr int kLinePrefixSize = 96;

// Puts `prefix` (cut to kLinePrefixSize - 1 bytes) in front of every line
// the helpers above write to standard error, after the line's leading
// newlines, in the same single write. The multi-host program sets it to
// "[<host>:<rank>] "; unset, lines go out exactly as formatted. Main thread,
// once at start-up before any other thread exists; read by every writer.
void set_line_prefix(const char* prefix);

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_MESSAGE_H_
