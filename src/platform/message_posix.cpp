// One-write messages.
#include "platform/message.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace iochurn {

namespace {

void write_formatted(int fd, char* buffer, int size, const char* format,
                     va_list args) {
  int n = std::vsnprintf(buffer, static_cast<size_t>(size), format, args);
  if (n < 0) return;
  if (n > size - 1) n = size - 1;
  // Lost when the descriptor is not writable; the caller goes on regardless.
  (void)!write(fd, buffer, static_cast<size_t>(n));
}

}  // namespace

void write_message(int fd, const char* format, ...) {
  char buffer[kMessageBufferSize];
  va_list args;
  va_start(args, format);
  write_formatted(fd, buffer, sizeof buffer, format, args);
  va_end(args);
}

void write_long_message(int fd, const char* format, ...) {
  char buffer[kLongMessageSize];
  va_list args;
  va_start(args, format);
  write_formatted(fd, buffer, sizeof buffer, format, args);
  va_end(args);
}

}  // namespace iochurn
