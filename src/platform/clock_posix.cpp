// The monotonic clock.
#include "platform/clock.h"

#include <time.h>

namespace iochurn {

uint64_t monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u +
         static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace iochurn
