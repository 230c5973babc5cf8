// The memory budget: the bytes of buffers that all workers together may
// hold at once, so that an oversized run fails allocations, counts them and
// cleans up instead of being ended by the out-of-memory killer.
#ifndef IOCHURN_STARTUP_MEMORY_BUDGET_H_
#define IOCHURN_STARTUP_MEMORY_BUDGET_H_

#include <cstdint>
#include <string>

#include "config/run_settings.h"

namespace iochurn {

// What the machine offers at start-up. Bytes; -1 where not known or not
// limited.
struct MemoryFigures {
  int64_t available;    // MemAvailable of /proc/meminfo
  int64_t cgroup_room;  // the tightest limit less usage up the process's
                        // memory cgroup (v2 memory.max - memory.current,
                        // v1 limit_in_bytes - usage_in_bytes); -1: none
  int64_t own_files;    // what the run's files take in memory (a working
                        // directory on tmpfs), else 0
};

// The budget the figures give: the lower of `available` and `cgroup_room`,
// less `own_files`, less a safety margin for the process's other needs
// (64 MB and 1/32 of that room), never below 0. -1 (no budget) when
// neither figure is known. Pure.
int64_t budget_from_figures(const MemoryFigures& figures);

// The run's budget in bytes: --memory-budget when given (0 gives -1, no
// budget), otherwise budget_from_figures of this machine at this moment
// (MemAvailable, the memory cgroup's files, the working directory's file
// system). Hands it to the buffer allocator and returns it. Main thread, at
// start-up, before any worker runs.
int64_t apply_memory_budget(const RunSettings& s);

// Bytes of buffers the run holds at once when every worker has all its
// buffers: workers x files x buffer size, twice with separate buffers.
uint64_t run_buffer_bytes(const RunSettings& s);

// Bytes the first pass writes: workers x files x file size.
uint64_t run_file_bytes(const RunSettings& s);

// ---------------------------------------------------------------------------
// Readers of the machine's texts.

// A cgroup limit or usage file ("max", or a number of bytes). "max", the
// v1 "no limit" values (2^62 and more) and text without a number give -1.
int64_t cgroup_bytes(const char* text);

// The directory of the process's memory cgroup, from the texts of
// /proc/self/cgroup and /proc/self/mountinfo: the cgroup v2 directory when
// `version` is 2, the v1 memory controller's when it is 1. Empty when
// there is none.
std::string memory_cgroup_dir(const char* cgroup_text,
                              const char* mountinfo_text, int version);

}  // namespace iochurn

#endif  // IOCHURN_STARTUP_MEMORY_BUDGET_H_
