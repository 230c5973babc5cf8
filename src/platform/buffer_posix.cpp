// Aligned buffers carved out of plain malloc.
#include "platform/buffer.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace iochurn {

namespace {

constexpr size_t kAlignment = 4096;

}  // namespace

uint8_t* allocate_buffer(size_t bytes) {
  // posix_memalign asks for slightly more than the last freed chunk every
  // time and defeats reuse; one extra page from plain malloc does not.
  if (bytes > SIZE_MAX - kAlignment) {
    errno = ENOMEM;
    return nullptr;
  }
  void* raw = std::malloc(bytes + kAlignment);
  if (raw == nullptr) return nullptr;
  auto start = reinterpret_cast<uintptr_t>(raw) + sizeof(void*);
  auto aligned = (start + kAlignment - 1) & ~(uintptr_t{kAlignment} - 1);
  auto* buffer = reinterpret_cast<uint8_t*>(aligned);
  std::memcpy(buffer - sizeof(void*), &raw, sizeof raw);
  return buffer;
}

void release_buffer(uint8_t* buffer) {
  if (buffer == nullptr) return;
  void* raw;
  std::memcpy(&raw, buffer - sizeof(void*), sizeof raw);
  std::free(raw);
}

void tune_allocator() {
  // The largest mmap threshold the allocator takes (32 MB on 64-bit): MB
  // buffers come from the heap and are reused. A huge trim threshold keeps
  // the freed pages mapped between passes.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
}

}  // namespace iochurn
