// Replacing a file whole: a temporary file, then rename.
#include "platform/whole_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace iochurn {

bool whole_file_temp_path(const char* path, char* out, size_t size) {
  const char* slash = std::strrchr(path, '/');
  const char* base = slash == nullptr ? path : slash + 1;
  int dir_length = static_cast<int>(base - path);
  // Hidden and named after the process, so two runs sharing a file name
  // never write into each other's temporary file.
  int n = std::snprintf(out, size, "%.*s.%s.%d.tmp", dir_length, path, base,
                        static_cast<int>(getpid()));
  return n >= 0 && static_cast<size_t>(n) < size;
}

int write_file_whole(const char* path, const char* text, size_t size) {
  std::string temp(std::strlen(path) + 32, '\0');
  if (!whole_file_temp_path(path, temp.data(), temp.size())) return ENAMETOOLONG;
  temp.resize(std::strlen(temp.c_str()));
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
