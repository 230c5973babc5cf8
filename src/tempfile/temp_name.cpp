// Temporary file names.
#include "tempfile/temp_name.h"

#include <cstdio>
#include <cstring>

namespace iochurn {

namespace {

// Reads a plain decimal number of at most nine digits ending at `stop`;
// advances `*at` past it. -1 when there is none or it is not plain.
int64_t plain_number(const char** at, char stop) {
  const char* p = *at;
  if (*p < '0' || *p > '9') return -1;
  if (*p == '0' && p[1] != stop) return -1;  // a leading zero
  int64_t value = 0;
  int digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (++digits > 9) return -1;
    value = value * 10 + (*p - '0');
  }
  if (*p != stop) return -1;
  *at = p + 1;
  return value;
}

}  // namespace

bool build_temp_path(char* out, size_t size, const char* dir, int pid,
                     int thread, int slot) {
  int n = std::snprintf(out, size, "%s/%d_%d_%d.DUMMY", dir, pid, thread, slot);
  return n >= 0 && static_cast<size_t>(n) < size;
}

bool parse_temp_name(const char* name, TempName* out) {
  const char* at = name;
  TempName n;
  n.pid = plain_number(&at, '_');
  if (n.pid < 1) return false;
  n.thread = plain_number(&at, '_');
  if (n.thread < 0) return false;
  n.slot = plain_number(&at, '.');
  if (n.slot < 0 || std::strcmp(at, "DUMMY") != 0) return false;
  *out = n;
  return true;
}

}  // namespace iochurn
