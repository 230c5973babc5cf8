// Page-aligned transfer buffers that the allocator can hand back pass after
// pass without fresh page faults.
#ifndef IOCHURN_PLATFORM_BUFFER_H_
#define IOCHURN_PLATFORM_BUFFER_H_

#include <cstddef>
#include <cstdint>

namespace iochurn {

// Allocates `bytes` aligned to the page size (direct I/O needs it).
// Returns nullptr with errno set when memory is short. Any thread.
uint8_t* allocate_buffer(size_t bytes);

// Releases a buffer from allocate_buffer; nullptr is ignored. Every release,
// the worker's own and the emergency clean-up's, goes through here.
void release_buffer(uint8_t* buffer);

// Fixes the allocator's thresholds once at start-up, so that a buffer freed
// at the end of a pass is reused by the next one instead of being unmapped.
void tune_allocator();

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_BUFFER_H_
