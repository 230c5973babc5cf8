// One-write messages.
#include "platform/message.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace iochurn {

namespace {

// The line prefix. Written once by set_line_prefix before any other thread
// exists; read by every writer after.
char line_prefix[kLinePrefixSize];
int line_prefix_length = 0;

// `buffer` holds `size` + kLinePrefixSize bytes: the text is formatted
// after room for the prefix, which then goes in behind its leading
// newlines, so a prefixed line is still one write.
__attribute__((format(printf, 4, 0))) void write_formatted(
    int fd, char* buffer, int size, const char* format, va_list args) {
  int p = fd == STDERR_FILENO ? line_prefix_length : 0;
  int n = std::vsnprintf(buffer + p, static_cast<size_t>(size), format, args);
  if (n < 0) return;
  if (n > size - 1) n = size - 1;
  if (p > 0) {
    int lead = 0;
    while (lead < n && buffer[p + lead] == '\n') ++lead;
    std::memmove(buffer, buffer + p, static_cast<size_t>(lead));
    std::memcpy(buffer + lead, line_prefix, static_cast<size_t>(p));
  }
  // Lost when the descriptor is not writable; the caller goes on regardless.
  (void)!write(fd, buffer, static_cast<size_t>(n + p));
}

}  // namespace

void write_message(int fd, const char* format, ...) {
  char buffer[kMessageBufferSize + kLinePrefixSize];
  va_list args;
  va_start(args, format);
  write_formatted(fd, buffer, kMessageBufferSize, format, args);
  va_end(args);
}

void write_long_message(int fd, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_long_message_list(fd, format, args);
  va_end(args);
}

void write_long_message_list(int fd, const char* format, va_list args) {
  char buffer[kLongMessageSize + kLinePrefixSize];
  write_formatted(fd, buffer, kLongMessageSize, format, args);
}

void write_lines(int fd, const char* text, size_t size) {
  if (fd != STDERR_FILENO || line_prefix_length == 0) {
    (void)!write(fd, text, size);
    return;
  }
  char buffer[kLongMessageSize * 4];
  size_t used = 0;
  bool line_start = true;
  for (size_t i = 0; i < size; ++i) {
    // Room for a prefix and the byte; else out with what is there.
    if (used + static_cast<size_t>(line_prefix_length) + 1 > sizeof buffer) {
      (void)!write(fd, buffer, used);
      used = 0;
    }
    // Empty lines (the leading newlines of error lines) stay bare.
    if (line_start && text[i] != '\n') {
      std::memcpy(buffer + used, line_prefix, static_cast<size_t>(line_prefix_length));
      used += static_cast<size_t>(line_prefix_length);
    }
    buffer[used++] = text[i];
    line_start = text[i] == '\n';
  }
  if (used > 0) (void)!write(fd, buffer, used);
}

void set_line_prefix(const char* prefix) {
  int n = 0;
  for (; prefix[n] != '\0' && n < kLinePrefixSize - 1; ++n)
    line_prefix[n] = prefix[n];
  line_prefix_length = n;
}

}  // namespace iochurn
