// Sub-second sleep without processor use.
#ifndef IOCHURN_PLATFORM_SLEEP_H_
#define IOCHURN_PLATFORM_SLEEP_H_

#include <cstdint>

namespace iochurn {

// Blocks the calling thread for `seconds` and `microseconds` (select with no
// descriptors). Returns select's result: 0 after the full time, -1 when a
// signal cut it short. Any thread.
int micro_sleep(uint32_t seconds, uint32_t microseconds);

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_SLEEP_H_
