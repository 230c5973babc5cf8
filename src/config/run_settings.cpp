// Defaults and derived sizes of the run settings.
#include "config/run_settings.h"

#include <cassert>
#include <cstring>

namespace iochurn {

RunSettings settings;

namespace {

#ifndef NDEBUG
RunSettings frozen;
bool is_frozen = false;
#endif

}  // namespace

void freeze_settings() {
#ifndef NDEBUG
  std::memcpy(&frozen, &settings, sizeof settings);  // padding included
  is_frozen = true;
#endif
}

void check_settings_frozen() {
#ifndef NDEBUG
  // Workers read the settings without a lock: nobody may write them now.
  assert(!is_frozen || std::memcmp(&frozen, &settings, sizeof settings) == 0);
#endif
}

void reset_run_settings(RunSettings* s) { *s = RunSettings(); }

const char* effective_workdir(const RunSettings& s) {
  return s.workdir != nullptr ? s.workdir : kDefaultWorkdir;
}

uint32_t buffer_bytes(const RunSettings& s) {
  return static_cast<uint32_t>(s.bufsize) << 20;
}

uint64_t file_bytes(const RunSettings& s) {
  return static_cast<uint64_t>(s.filesize) << 20;
}

int64_t timeout_ms(int32_t seconds, int32_t factor) {
  if (seconds < 0) return -1;
  // 2^31 seconds x 2000 still fits easily in 64 bits.
  return static_cast<int64_t>(seconds) * factor;
}

void fill_thread_params(const RunSettings& s, int32_t index, ThreadParams* p) {
  p->thread_index = index;
  p->passes = s.passes;
  p->run_forever = s.run_forever;
  p->random_fill = s.random_fill;
  p->separate_buffers = s.separate_buffers;
  p->sync_writes = s.sync_writes;
  p->open_flags = s.open_flags;
  p->open_mode = static_cast<int32_t>(s.open_mode);
}

}  // namespace iochurn
