// Replacing a file whole: a temporary file, then rename.
#include "platform/whole_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace iochurn {

int write_file_whole(const char* path, const char* text, size_t size) {
  std::string temp = path;
  size_t slash = temp.rfind('/');
  std::string base = slash == std::string::npos ? temp : temp.substr(slash + 1);
  std::string dir = slash == std::string::npos ? "" : temp.substr(0, slash + 1);
  // Hidden and named after the process, so two runs sharing a file name
  // never write into each other's temporary file.
  temp = dir + "." + base + "." + std::to_string(getpid()) + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return errno;
  int error = 0;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, text + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), path) != 0) error = errno;
  if (error != 0) unlink(temp.c_str());
  return error;
}

}  // namespace iochurn
