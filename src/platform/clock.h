// The monotonic clock every figure of the run is taken on.
#ifndef IOCHURN_PLATFORM_CLOCK_H_
#define IOCHURN_PLATFORM_CLOCK_H_

#include <cstdint>

namespace iochurn {

// Monotonic clock in nanoseconds. Any thread; async-signal-safe.
uint64_t monotonic_ns();

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_CLOCK_H_
