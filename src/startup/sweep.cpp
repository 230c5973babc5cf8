// The sweep of leftovers from dead runs.
#include "startup/sweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fs_info.h"
#include "platform/message.h"
#include "tempfile/temp_name.h"

namespace iochurn {

namespace {


// True only when the process is certainly gone from this host.
bool certainly_dead(int64_t pid) {
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

}  // namespace

int64_t leftover_pid(const char* name) {
  TempName n;
  return parse_temp_name(name, &n) ? n.pid : -1;
}

SweepResult sweep_leftovers(const char* dir, SweepMode mode) {
  SweepResult result{0, 0, 0};
  const char* shared = nullptr;
  int64_t magic = 0;
  if (fs_magic_of(dir, &magic) == 0) shared = shared_fs_name(magic);
  const bool list_only = shared != nullptr && mode != SweepMode::kForce;

  int dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = dir_fd < 0 ? nullptr : fdopendir(dir_fd);
  if (listing == nullptr) {
    int error = errno;
    if (dir_fd >= 0) close(dir_fd);
    write_long_message(STDERR_FILENO, "iochurn: sweep: cannot read %s: %s\n",
                       dir, std::strerror(error));
    result.failed = 1;
    return result;
  }
  while (dirent* entry = readdir(listing)) {
    int64_t pid = leftover_pid(entry->d_name);
    if (pid < 0) continue;
    struct stat st;
    // The name, never what a link there points at.
    if (fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    if (!certainly_dead(pid)) {
      write_long_message(
          STDERR_FILENO,
          "iochurn: sweep: kept %s/%s: process %lld is running\n", dir,
          entry->d_name, static_cast<long long>(pid));
      ++result.kept;
      continue;
    }
    if (list_only) {
      write_long_message(STDERR_FILENO, "iochurn: sweep: would delete %s/%s\n",
                         dir, entry->d_name);
      ++result.deleted;
      continue;
    }
    // unlinkat removes a link planted here since the check, not its target.
    if (unlinkat(dir_fd, entry->d_name, 0) != 0) {
      int error = errno;
      write_long_message(STDERR_FILENO,
                         "iochurn: sweep: cannot delete %s/%s: %s\n", dir,
                         entry->d_name, std::strerror(error));
      ++result.failed;
      continue;
    }
    write_long_message(STDERR_FILENO, "iochurn: sweep: deleted %s/%s\n", dir,
                       entry->d_name);
    ++result.deleted;
  }
  closedir(listing);

  if (list_only)
    write_long_message(
        STDERR_FILENO,
        "iochurn: sweep: %d files would be deleted, %d kept in %s: on %s the "
        "processes of other hosts cannot be seen (--sweep=force deletes)\n",
        result.deleted, result.kept, dir, shared);
  else
    write_long_message(STDERR_FILENO,
                       "iochurn: sweep: %d files deleted, %d kept in %s\n",
                       result.deleted, result.kept, dir);
  return result;
}

}  // namespace iochurn
