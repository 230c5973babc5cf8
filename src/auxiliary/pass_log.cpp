// Pass log.
#include "auxiliary/pass_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace iochurn {

void format_time_stamp(time_t when, char* out, size_t size) {
  tm local;
  if (localtime_r(&when, &local) == nullptr) {
    // No local time to be had: the line still goes out, stamped as such.
    std::snprintf(out, size, "%s", "??? ??? ?? ??:??:?? ????");
    return;
  }
  if (std::strftime(out, size, "%a %b %d %H:%M:%S %Y", &local) == 0 && size)
    out[0] = '\0';
}

int log_pass(const char* file, const char* text) {
  if (file == nullptr || text == nullptr) return -1;
  int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return -2;
  char stamp[64];
  format_time_stamp(time(nullptr), stamp, sizeof stamp);
  std::string line;
  line.reserve(std::strlen(stamp) + 2 + std::strlen(text));
  line.append(stamp).append(": ").append(text);
  // One append-mode write positions at the end and writes in one step.
  (void)!write(fd, line.data(), line.size());
  close(fd);
  return 0;
}

}  // namespace iochurn
