// Aligned buffers carved out of plain malloc, counted against a budget.
#include "platform/buffer.h"

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace iochurn {

namespace {

constexpr size_t kAlignment = 4096;

// In the bytes just before the aligned address: what free() needs and what
// the count gives back.
struct BufferHeader {
  void* raw;
  size_t bytes;
};
// One page and a header more than asked: room to align whatever alignment
// malloc gives (8 bytes under some sanitizers).
constexpr size_t kOverhead = kAlignment + sizeof(BufferHeader);

// Written by set_buffer_budget before any worker runs; read by every
// allocation. held_bytes is added to and taken from by any thread.
std::atomic<int64_t> budget_bytes{-1};
std::atomic<uint64_t> held_bytes{0};

// Claims `bytes` of the budget; false (nothing claimed) when it would pass.
bool claim(size_t bytes) {
  int64_t budget = budget_bytes.load(std::memory_order_relaxed);
  if (budget < 0) {
    held_bytes.fetch_add(bytes, std::memory_order_relaxed);
    return true;
  }
  uint64_t held = held_bytes.load(std::memory_order_relaxed);
  do {
    if (held + bytes > static_cast<uint64_t>(budget)) return false;
  } while (!held_bytes.compare_exchange_weak(held, held + bytes,
                                             std::memory_order_relaxed));
  return true;
}

}  // namespace

uint8_t* allocate_buffer(size_t bytes) {
  // posix_memalign asks for slightly more than the last freed chunk every
  // time and defeats reuse; one extra page from plain malloc does not.
  if (bytes > SIZE_MAX - kOverhead || !claim(bytes)) {
    errno = ENOMEM;
    return nullptr;
  }
  void* raw = std::malloc(bytes + kOverhead);
  if (raw == nullptr) {
    int error = errno;
    held_bytes.fetch_sub(bytes, std::memory_order_relaxed);
    errno = error;
    return nullptr;
  }
  auto start = reinterpret_cast<uintptr_t>(raw) + sizeof(BufferHeader);
  auto aligned = (start + kAlignment - 1) & ~(uintptr_t{kAlignment} - 1);
  auto* buffer = reinterpret_cast<uint8_t*>(aligned);
  BufferHeader header{raw, bytes};
  std::memcpy(buffer - sizeof header, &header, sizeof header);
  return buffer;
}

void release_buffer(uint8_t* buffer) {
  if (buffer == nullptr) return;
  BufferHeader header;
  std::memcpy(&header, buffer - sizeof header, sizeof header);
  held_bytes.fetch_sub(header.bytes, std::memory_order_relaxed);
  std::free(header.raw);
}

void set_buffer_budget(int64_t bytes) {
  budget_bytes.store(bytes < 0 ? -1 : bytes, std::memory_order_relaxed);
}

uint64_t buffer_bytes_held() {
  return held_bytes.load(std::memory_order_relaxed);
}

void tune_allocator() {
  // The largest mmap threshold the allocator takes (32 MB on 64-bit): MB
  // buffers come from the heap and are reused. A huge trim threshold keeps
  // the freed pages mapped between passes.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
}

}  // namespace iochurn
