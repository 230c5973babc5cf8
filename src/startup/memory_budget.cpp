// The memory budget from /proc/meminfo, the memory cgroup and the
// working directory's file system.
#include "startup/memory_budget.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/buffer.h"
#include "platform/fs_info.h"
#include "startup/bounded_check.h"

namespace iochurn {

namespace {

constexpr int64_t kMB = int64_t{1} << 20;
constexpr int64_t kFixedMargin = 64 * kMB;
// v1 reports "no limit" as the largest page-aligned 63-bit number.
constexpr int64_t kNoLimit = int64_t{1} << 62;

bool read_text(const std::string& path, std::string* out) {
  return read_text_file(path.c_str(), out);
}

// The value after "<key> " on a line of a "key value" text; -1 if absent.
int64_t keyed_value(const char* text, const char* key) {
  size_t key_length = std::strlen(key);
  for (const char* line = text; line != nullptr && *line != '\0';) {
    if (std::strncmp(line, key, key_length) == 0 &&
        (line[key_length] == ' ' || line[key_length] == ':')) {
      const char* at = line + key_length + 1;
      while (*at == ' ') ++at;
      char* end;
      long long v = std::strtoll(at, &end, 10);
      if (end != at && v >= 0) return v;
    }
    line = std::strchr(line, '\n');
    if (line != nullptr) ++line;
  }
  return -1;
}

bool has_item(const std::string& list, const char* item) {
  size_t at = 0;
  while (at <= list.size()) {
    size_t end = list.find(',', at);
    if (end == std::string::npos) end = list.size();
    if (list.compare(at, end - at, item) == 0) return true;
    at = end + 1;
  }
  return false;
}

// Room left in one cgroup directory, or -1 when it sets no limit there.
// Reclaimable page cache (inactive file pages) counts as room: a cgroup
// that wrote many files shows a usage near its limit while nearly all of
// it can be given back.
int64_t room_in(const std::string& dir, int version) {
  std::string limit_text, usage_text, stat_text;
  const char* limit_file =
      version == 2 ? "/memory.max" : "/memory.limit_in_bytes";
  const char* usage_file =
      version == 2 ? "/memory.current" : "/memory.usage_in_bytes";
  if (!read_text(dir + limit_file, &limit_text)) return -1;
  int64_t limit = cgroup_bytes(limit_text.c_str());
  if (limit < 0) return -1;
  int64_t usage = 0;
  if (read_text(dir + usage_file, &usage_text)) {
    usage = cgroup_bytes(usage_text.c_str());
    if (usage < 0) usage = 0;
  }
  if (read_text(dir + "/memory.stat", &stat_text)) {
    int64_t inactive =
        keyed_value(stat_text.c_str(),
                    version == 2 ? "inactive_file" : "total_inactive_file");
    if (inactive > 0) usage = usage > inactive ? usage - inactive : 0;
  }
  return limit > usage ? limit - usage : 0;
}

// The tightest room from `dir` up to the file system root: a parent's limit
// binds its children too.
int64_t tightest_room(std::string dir, int version) {
  int64_t tightest = -1;
  while (!dir.empty()) {
    int64_t room = room_in(dir, version);
    if (room >= 0 && (tightest < 0 || room < tightest)) tightest = room;
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos || slash == 0) break;
    dir.resize(slash);
  }
  return tightest;
}

int64_t lower_known(int64_t a, int64_t b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}

// MemAvailable of a /proc/meminfo text in bytes; -1 when absent.
int64_t meminfo_available(const char* text) {
  int64_t kb = keyed_value(text, "MemAvailable");
  return kb < 0 ? -1 : kb * 1024;
}

}  // namespace

int64_t cgroup_bytes(const char* text) {
  while (*text == ' ') ++text;
  if (std::strncmp(text, "max", 3) == 0) return -1;
  char* end;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || v < 0) return -1;
  return v >= kNoLimit ? -1 : v;
}

std::string memory_cgroup_dir(const char* cgroup_text,
                              const char* mountinfo_text, int version) {
  // The process's path in the hierarchy: "0::<path>" for v2,
  // "<n>:<controllers>:<path>" with "memory" among the controllers for v1.
  std::string path;
  bool found = false;
  std::string text = cgroup_text;
  for (size_t at = 0; at < text.size() && !found;) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    size_t first = line.find(':');
    size_t second =
        first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    bool wanted = version == 2
                      ? line.compare(0, first, "0") == 0 && controllers.empty()
                      : has_item(controllers, "memory");
    if (!wanted) continue;
    path = line.substr(second + 1);
    found = true;
  }
  if (!found) return std::string();

  // Where that hierarchy is mounted.
  for (const MountEntry& m : parse_mountinfo(mountinfo_text)) {
    bool match = version == 2 ? m.fs_type == "cgroup2"
                              : m.fs_type == "cgroup" &&
                                    has_item(m.super_options, "memory");
    if (!match) continue;
    std::string inside = path;
    // A mount of a sub-tree (a cgroup namespace) shows paths from its root.
    if (m.root != "/" && inside.compare(0, m.root.size(), m.root) == 0)
      inside = inside.substr(m.root.size());
    if (inside == "/") inside.clear();
    return m.mount_point + inside;
  }
  return std::string();
}

int64_t budget_from_figures(const MemoryFigures& figures) {
  int64_t room = lower_known(figures.available, figures.cgroup_room);
  if (room < 0) return -1;
  room -= figures.own_files;
  room -= kFixedMargin + (room > 0 ? room / 32 : 0);
  return room > 0 ? room : 0;
}

uint64_t run_buffer_bytes(const RunSettings& s) {
  uint64_t workers = s.threads > 0 ? static_cast<uint64_t>(s.threads) : 0;
  uint64_t files = s.filecount > 0 ? static_cast<uint64_t>(s.filecount) : 0;
  uint64_t per_slot = uint64_t{buffer_bytes(s)} * (s.separate_buffers ? 2 : 1);
  return workers * files * per_slot;
}

uint64_t run_file_bytes(const RunSettings& s) {
  uint64_t workers = s.threads > 0 ? static_cast<uint64_t>(s.threads) : 0;
  uint64_t files = s.filecount > 0 ? static_cast<uint64_t>(s.filecount) : 0;
  return workers * files * file_bytes(s);
}

namespace {

// The figures of this machine for run `s`.
struct TypeIo {
  char dir[kPathSize];
  int64_t magic;
};

int type_step(void* io) {
  auto* t = static_cast<TypeIo*>(io);
  return fs_magic_of(t->dir, &t->magic);
}

MemoryFigures read_memory_figures(const RunSettings& s) {
  MemoryFigures figures{-1, -1, 0};
  std::string text;
  if (read_text("/proc/meminfo", &text))
    figures.available = meminfo_available(text.c_str());
  std::string cgroups, mounts;
  if (read_text("/proc/self/cgroup", &cgroups) &&
      read_text("/proc/self/mountinfo", &mounts)) {
    for (int version = 1; version <= 2; ++version) {
      std::string dir =
          memory_cgroup_dir(cgroups.c_str(), mounts.c_str(), version);
      if (!dir.empty())
        figures.cgroup_room =
            lower_known(figures.cgroup_room, tightest_room(dir, version));
    }
  }
  // Bounded: the working directory may be on a file system that stopped
  // answering; without an answer it is taken for one of the disk.
  TypeIo io{};
  std::snprintf(io.dir, sizeof io.dir, "%s", effective_workdir(s));
  int error = -1;
  if (run_bounded_check("file-system type check", io.dir, type_step, &io,
                        sizeof io, &error, s.diagnose) &&
      error == 0 && memory_backed_fs(io.magic))
    figures.own_files = static_cast<int64_t>(run_file_bytes(s));
  return figures;
}

}  // namespace

int64_t apply_memory_budget(const RunSettings& s) {
  int64_t budget = -1;
  if (s.memory_budget_mb > 0)
    budget = s.memory_budget_mb * kMB;
  else if (s.memory_budget_mb < 0)
    budget = budget_from_figures(read_memory_figures(s));
  set_buffer_budget(budget);
  return budget;
}

}  // namespace iochurn
