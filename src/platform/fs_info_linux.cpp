// File system types and the mount table, from statfs and /proc.
#include "platform/fs_info.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace iochurn {

namespace {

// Every magic number the program has a word for: the report's name of it,
// the sweep's name when other hosts write there too, and whether its files
// take memory rather than disk.
struct FsKind {
  uint32_t magic;
  const char* name;    // nullptr: not named in the report
  const char* shared;  // nullptr: only this host writes there
  bool in_memory;
};

constexpr FsKind kFsKinds[] = {
    {0xEF53, "ext4", nullptr, false},
    {0x58465342, "xfs", nullptr, false},
    {0x9123683E, "btrfs", nullptr, false},
    {0x01021994, "tmpfs", nullptr, true},
    {0x858458F6, "ramfs", nullptr, true},
    {0x2FC12FC1, "zfs", nullptr, false},
    {0xF2F52010, "f2fs", nullptr, false},
    {0xCA451A4E, "bcachefs", nullptr, false},
    {0x6969, "nfs", "NFS", false},
    {0xFF534D42, "cifs", "CIFS/SMB", false},
    {0xFE534D42, "smb2", "CIFS/SMB", false},
    {0x517B, nullptr, "CIFS/SMB", false},
    {0x65735546, "fuse", "FUSE", false},
    {0x0BD00BD0, "lustre", "Lustre", false},
    {0x47504653, "gpfs", "GPFS", false},
    {0x00C36400, "ceph", "CephFS", false},
    {0x5346414F, nullptr, "AFS", false},
    {0x01161970, nullptr, "GFS2", false},
    {0x01021997, "9p", "9P", false},
    {0x794C7630, "overlayfs", nullptr, false},
    {0x4D44, "vfat", nullptr, false},
    {0x2011BAB0, "exfat", nullptr, false},
    {0x5346544E, "ntfs", nullptr, false},
    {0x73717368, "squashfs", nullptr, false},
    {0x3153464A, "jfs", nullptr, false},
    {0x52654973, "reiserfs", nullptr, false},
    {0x3434, "nilfs2", nullptr, false},
    {0x9FA0, "proc", nullptr, false},
    {0x62656572, "sysfs", nullptr, false},
    {0x1373, "devfs", nullptr, false},
    // The same magic serves both names of this parallel file system.
    {0x19830326, "orangefs", "BeeGFS", false},
    {0x6165676C, "pstore", nullptr, false},
    {0x42465331, "befs", nullptr, false},
    {0xF15F, "ecryptfs", nullptr, false},
    {0x15013346, "udf", nullptr, false},
    {0x9660, "iso9660", nullptr, false},
    {0x7461636F, "ocfs2", "OCFS2", false},
};

// Undoes the octal escapes of a mountinfo field.
std::string unescape_field(const char* field, size_t size) {
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    if (field[i] == '\\' && i + 3 < size && field[i + 1] >= '0' &&
        field[i + 1] <= '7') {
      char digits[4] = {field[i + 1], field[i + 2], field[i + 3], '\0'};
      out += static_cast<char>(std::strtol(digits, nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

bool parse_line(const char* line, size_t size, MountEntry* out) {
  constexpr int kMaxFields = 32;
  const char* start[kMaxFields];
  size_t length[kMaxFields];
  int n = 0;
  for (size_t at = 0; at < size && n < kMaxFields;) {
    while (at < size && line[at] == ' ') ++at;
    size_t end = at;
    while (end < size && line[end] != ' ') ++end;
    if (end > at) {
      start[n] = line + at;
      length[n++] = end - at;
    }
    at = end;
  }
  int dash = 0;
  for (int i = 6; i < n; ++i)
    if (length[i] == 1 && start[i][0] == '-') {
      dash = i;
      break;
    }
  if (dash == 0 || dash + 2 >= n) return false;
  std::string device(start[2], length[2]);
  if (std::sscanf(device.c_str(), "%u:%u", &out->dev_major, &out->dev_minor) != 2)
    return false;
  out->root = unescape_field(start[3], length[3]);
  out->mount_point = unescape_field(start[4], length[4]);
  out->mount_options.assign(start[5], length[5]);
  out->fs_type.assign(start[dash + 1], length[dash + 1]);
  out->source = unescape_field(start[dash + 2], length[dash + 2]);
  if (dash + 3 < n)
    out->super_options.assign(start[dash + 3], length[dash + 3]);
  else
    out->super_options.clear();
  return true;
}

}  // namespace

int fs_magic_of(const char* dir, int64_t* magic) {
  struct statfs sf;
  if (statfs(dir, &sf) != 0) return errno;
  *magic = static_cast<int64_t>(sf.f_type);
  return 0;
}

const char* fs_type_name(uint64_t magic) {
  for (const FsKind& k : kFsKinds)
    if (k.magic == magic) return k.name;
  return nullptr;
}

const char* shared_fs_name(int64_t magic) {
  auto low = static_cast<uint32_t>(magic);
  for (const FsKind& k : kFsKinds)
    if (k.magic == low) return k.shared;
  return nullptr;
}

bool memory_backed_fs(int64_t magic) {
  for (const FsKind& k : kFsKinds)
    if (static_cast<int64_t>(k.magic) == magic) return k.in_memory;
  return false;
}

std::vector<MountEntry> parse_mountinfo(const char* text) {
  std::vector<MountEntry> mounts;
  MountEntry entry;
  for (const char* line = text; *line != '\0';) {
    const char* end = std::strchr(line, '\n');
    size_t size = end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line);
    if (parse_line(line, size, &entry)) mounts.push_back(entry);
    line += size;
    if (*line == '\n') ++line;
  }
  return mounts;
}

int mount_holding(const std::vector<MountEntry>& mounts, unsigned dev_major,
                  unsigned dev_minor, const std::string& real_path) {
  int best = -1;
  size_t best_length = 0;
  for (size_t i = 0; i < mounts.size(); ++i) {
    const MountEntry& m = mounts[i];
    if (m.dev_major != dev_major || m.dev_minor != dev_minor) continue;
    const std::string& point = m.mount_point;
    bool prefix = real_path.compare(0, point.size(), point) == 0 &&
                  (point == "/" || real_path.size() == point.size() ||
                   real_path[point.size()] == '/');
    if (best >= 0 && (!prefix || point.size() <= best_length)) continue;
    best = static_cast<int>(i);
    best_length = prefix ? point.size() : 0;
  }
  return best;
}

bool find_mount(const char* dir, MountEntry* out) {
  struct stat st;
  if (stat(dir, &st) != 0) return false;
  char real[PATH_MAX];
  if (realpath(dir, real) == nullptr) return false;
  std::string text;
  if (!read_text_file("/proc/self/mountinfo", &text)) return false;
  std::vector<MountEntry> mounts = parse_mountinfo(text.c_str());
  int i = mount_holding(mounts, major(st.st_dev), minor(st.st_dev), real);
  if (i < 0) return false;
  *out = mounts[static_cast<size_t>(i)];
  return true;
}

bool read_text_file(const char* path, std::string* out) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0)
    out->append(chunk, static_cast<size_t>(n));
  close(fd);
  return n == 0;
}

}  // namespace iochurn
