// Pass log.
#include "auxiliary/pass_log.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

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

PassLogResult log_pass(const char* file, const char* text) {
  if (file == nullptr || text == nullptr) return PassLogResult::kNoFileOrText;
  int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return PassLogResult::kCannotOpen;
  char stamp[64];
  format_time_stamp(time(nullptr), stamp, sizeof stamp);
  // Gathered from where the pieces lie: nothing to allocate on a worker's
  // pass, and one append-mode write positions at the end and writes in one
  // step.
  char separator[] = ": ";
  iovec pieces[] = {{stamp, std::strlen(stamp)},
                    {separator, 2},
                    {const_cast<char*>(text), std::strlen(text)}};
  (void)!writev(fd, pieces, 3);
  close(fd);
  return PassLogResult::kHandedOver;
}

}  // namespace iochurn
