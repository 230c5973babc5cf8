// Page-aligned transfer buffers that the allocator can hand back pass after
// pass without fresh page faults.
#ifndef IOCHURN_PLATFORM_BUFFER_H_
#define IOCHURN_PLATFORM_BUFFER_H_

#include <cstddef>
#include <cstdint>

namespace iochurn {

// Allocates `bytes` aligned to the page size (direct I/O needs it).
// Returns nullptr with errno set when memory is short, and with errno
// ENOMEM when the buffers held at once would pass the budget (exactly as a
// failed allocation, so callers have one failure path). Any thread.
uint8_t* allocate_buffer(size_t bytes);

// Releases a buffer from allocate_buffer; nullptr is ignored. Every release,
// the worker's own and the emergency clean-up's, goes through here.
void release_buffer(uint8_t* buffer);

// Sets the most bytes that buffers from allocate_buffer may hold at once;
// negative means no budget. Main thread, before any buffer is allocated
// (and tests, between runs).
void set_buffer_budget(int64_t bytes);

// Bytes held now by buffers from allocate_buffer. Any thread.
uint64_t buffer_bytes_held();

// Fixes the allocator's thresholds once at start-up, so that a buffer freed
// at the end of a pass is reused by the next one instead of being unmapped.
void tune_allocator();

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_BUFFER_H_
