// Pre-flight warnings.
#include "startup/preflight.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/message.h"
#include "startup/bounded_check.h"
#include "startup/memory_budget.h"

namespace iochurn {

namespace {

unsigned long long megabytes(uint64_t bytes) { return bytes >> 20; }

// 0 when a file can be created in `dir`, else the reason (an errno value).
int creation_refused(const char* dir) {
  struct stat st;
  if (stat(dir, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  // An unnamed file proves what access() only guesses (read-only mounts,
  // full inode tables) and leaves nothing behind.
  int fd = open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
    return 0;
  }
  int error = errno;
  if (error != EOPNOTSUPP && error != EISDIR && error != EINVAL) return error;
  return access(dir, W_OK | X_OK) == 0 ? 0 : errno;
}

// 0 when `path` can be opened for appending, else the reason. A file that
// does not exist yet is not created: its directory is tried instead.
int append_refused(const char* path) {
  struct stat st;
  if (stat(path, &st) == 0) {
    if (S_ISDIR(st.st_mode)) return EISDIR;
    // A pipe's reader may come later; opening it now could block or fail.
    if (S_ISFIFO(st.st_mode)) return 0;
    int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return errno;
    close(fd);
    return 0;
  }
  if (errno != ENOENT) return errno;
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return creation_refused(".");
  std::string dir(path, slash == path ? 1 : static_cast<size_t>(slash - path));
  return creation_refused(dir.c_str());
}

// The inputs and outputs of one bounded step.
struct CheckIo {
  char path[kCheckIoSize - sizeof(struct statvfs) - 8];
  struct statvfs vfs;
};
static_assert(sizeof(CheckIo) <= kCheckIoSize);

int creation_step(void* io) { return creation_refused(static_cast<CheckIo*>(io)->path); }
int append_step(void* io) { return append_refused(static_cast<CheckIo*>(io)->path); }
int space_step(void* io) {
  auto* c = static_cast<CheckIo*>(io);
  return statvfs(c->path, &c->vfs) == 0 ? 0 : errno;
}

// Runs `step` on `path` within the bound; false (after the line saying so)
// when the file system gave no answer, else true with the step's result.
bool bounded(const char* check, const char* path, CheckRoutine step,
             CheckIo* io, int* result) {
  size_t length = std::strlen(path);
  if (length >= sizeof io->path) {  // too long to hand over: as before
    *result = step(io);
    return true;
  }
  std::memcpy(io->path, path, length + 1);
  return run_bounded_check(check, path, step, io, sizeof *io, result);
}

void warn_directory(const char* dir, int error) {
  write_long_message(STDERR_FILENO,
                     "iochurn: warning: the working directory %s cannot be "
                     "used (%s): every open will fail\n",
                     dir, std::strerror(error));
}

void warn_space(const RunSettings& s, const char* dir, uint64_t needed,
                uint64_t free_bytes) {
  write_long_message(
      STDERR_FILENO,
      "iochurn: warning: the first pass writes %llu MB (%d workers x %d files "
      "x %u MB), more than the %llu MB free in %s: writes will fail with "
      "\"No space left on device\"\n",
      megabytes(needed), s.threads, s.filecount, s.filesize,
      megabytes(free_bytes), dir);
}

void warn_memory(const RunSettings& s, uint64_t needed, int64_t budget) {
  write_long_message(
      STDERR_FILENO,
      "iochurn: warning: the buffers of this run take %llu MB at once (%d "
      "workers x %d files x %d MB%s), more than the memory budget of %llu "
      "MB: allocations past it will fail as ERR [malloc]\n",
      megabytes(needed), s.threads, s.filecount, s.bufsize,
      s.separate_buffers ? " x 2" : "",
      megabytes(static_cast<uint64_t>(budget)));
}

}  // namespace

int preflight_warnings(const RunSettings& s, int64_t budget_bytes) {
  if (!s.diagnose) return 0;
  int warnings = 0;
  const char* dir = effective_workdir(s);
  static CheckIo io;
  int refused = 0;
  // A directory that gave no answer is not asked again for its space.
  bool answered = bounded("directory check", dir, creation_step, &io, &refused);
  if (answered && refused != 0) {
    warn_directory(dir, refused);
    ++warnings;
  }
  uint64_t file_need = run_file_bytes(s);
  int space_error = -1;
  if (answered && refused == 0 && file_need > 0 &&
      bounded("free-space check", dir, space_step, &io, &space_error) &&
      space_error == 0) {
    const struct statvfs& vfs = io.vfs;
    uint64_t free_bytes = uint64_t{vfs.f_bavail} * vfs.f_frsize;
    if (file_need > free_bytes) {
      warn_space(s, dir, file_need, free_bytes);
      ++warnings;
    }
  }
  uint64_t buffer_need = run_buffer_bytes(s);
  if (budget_bytes >= 0 && buffer_need > static_cast<uint64_t>(budget_bytes)) {
    warn_memory(s, buffer_need, budget_bytes);
    ++warnings;
  }
  int error = 0;
  if (s.logfile != nullptr &&
      bounded("pass log check", s.logfile, append_step, &io, &error)) {
    if (error != 0) {
      write_long_message(STDERR_FILENO,
                         "iochurn: warning: the pass log %s cannot be opened "
                         "for appending (%s): no pass will be logged\n",
                         s.logfile, std::strerror(error));
      ++warnings;
    }
  }
  return warnings;
}

}  // namespace iochurn
