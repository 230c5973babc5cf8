// What the machine says about its file systems: the type behind a statfs
// magic number, and the mount table of /proc/self/mountinfo.
#ifndef IOCHURN_PLATFORM_FS_INFO_H_
#define IOCHURN_PLATFORM_FS_INFO_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace iochurn {

// The file system magic number of `dir` as statfs gives it. Returns 0 or
// an errno value.
int fs_magic_of(const char* dir, int64_t* magic);

// Name of a file system magic number ("ext4", "xfs", "tmpfs", ...), or
// nullptr when not one of the common ones.
const char* fs_type_name(uint64_t magic);

// The name of a file system other hosts (or their own process-id spaces)
// write to as well ("NFS", "CIFS/SMB", "Lustre", ...), or nullptr for a
// local one. statfs gives the magic as a signed word: the low 32 bits
// count.
const char* shared_fs_name(int64_t magic);

// True for a file system whose files live in memory (tmpfs, ramfs).
bool memory_backed_fs(int64_t magic);

// One entry of a mountinfo text. Mount point, root and source have their
// octal escapes (\040 for a space) undone; options are as written.
struct MountEntry {
  unsigned dev_major = 0;
  unsigned dev_minor = 0;
  std::string root;
  std::string mount_point;
  std::string mount_options;
  std::string fs_type;
  std::string source;
  std::string super_options;
};

// The entries of a mountinfo text (fields: id parent major:minor root
// mount-point options [optional...] - type source super-options), in
// order. Lines that are not a whole entry are left out.
std::vector<MountEntry> parse_mountinfo(const char* text);

// Index in `mounts` of the mount that holds `real_path` on device
// major:minor: the device's entry whose mount point is the longest prefix
// of the path (a device mounted twice, or bind mounts, give several), else
// the device's first entry. -1 when the device has none.
int mount_holding(const std::vector<MountEntry>& mounts, unsigned dev_major,
                  unsigned dev_minor, const std::string& real_path);

// The mount that holds directory `dir`, from /proc/self/mountinfo. False
// when the directory or the table cannot be read or no entry fits.
bool find_mount(const char* dir, MountEntry* out);

// Reads a small text file (under /proc or /sys) whole into `out`; false
// when it cannot be read.
bool read_text_file(const char* path, std::string* out);

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_FS_INFO_H_
