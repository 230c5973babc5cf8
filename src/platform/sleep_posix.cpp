// Sleep on select with no descriptor sets.
#include "platform/sleep.h"

#include <sys/select.h>

namespace iochurn {

int micro_sleep(uint32_t seconds, uint32_t microseconds) {
  timeval timeout;
  // Whole seconds carried out of the microseconds keep select from refusing
  // the value with EINVAL.
  timeout.tv_sec = static_cast<time_t>(seconds) + microseconds / 1000000;
  timeout.tv_usec = static_cast<suseconds_t>(microseconds % 1000000);
  return select(0, nullptr, nullptr, nullptr, &timeout);
}

}  // namespace iochurn
