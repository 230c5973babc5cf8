// Defaults and derived sizes of the run settings.
#include "config/run_settings.h"

#include <fcntl.h>

namespace iochurn {

RunSettings settings = [] {
  RunSettings s;
  reset_run_settings(&s);
  return s;
}();

void reset_run_settings(RunSettings* s) {
  *s = RunSettings();
  // Never follow a link planted at a predictable name in a shared directory.
  s->open_flags = O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  s->open_mode = 0600;
}

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
  p->filesize = static_cast<int32_t>(s.filesize);
  p->passes = s.passes;
  p->run_forever = s.run_forever;
  p->random_fill = s.random_fill;
  p->separate_buffers = s.separate_buffers;
  p->sync_writes = s.sync_writes;
  p->open_flags = s.open_flags;
  p->open_mode = static_cast<int32_t>(s.open_mode);
}

}  // namespace iochurn
