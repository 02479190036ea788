#include "bench/routing_packet/allocation_counter.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::uint64_t> allocations{0};

void* allocate(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void* alignedMemory(std::size_t align, std::size_t size) noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
  void* memory = nullptr;
  if (::posix_memalign(&memory, std::max(align, sizeof(void*)), size == 0 ? 1 : size) != 0) {
    return nullptr;
  }
  return memory;
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
  if (void* memory = alignedMemory(static_cast<std::size_t>(alignment), size)) return memory;
  throw std::bad_alloc();
}

}  // namespace

// Asio's recycling allocator (coroutine frames, operation states) takes the
// memory it does not find kept through aligned_alloc, not operator new.
extern "C" void* aligned_alloc(std::size_t align, std::size_t size) noexcept {
  return alignedMemory(align, size);
}

std::uint64_t bench::allocationCount() noexcept {
  return allocations.load(std::memory_order_relaxed);
}

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocateAligned(size, alignment);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
