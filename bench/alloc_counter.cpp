// The replaced global allocation functions. Every form of operator new funnels into one counted
// allocation, every form of operator delete into one counted release; the counts are relaxed
// atomics, since a benchmark only reads them between its own steps.
#include "alloc_counter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace quolin::alloc_counter {
namespace {

std::atomic<std::uint64_t> allocation_count{0};
std::atomic<std::uint64_t> deallocation_count{0};
std::atomic<std::uint64_t> byte_count{0};

void* counted_allocate(std::size_t size, std::size_t alignment) noexcept {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  byte_count.fetch_add(size, std::memory_order_relaxed);
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return std::malloc(size);
  // aligned_alloc wants a size that is a multiple of the alignment.
  std::size_t rounded = (size + alignment - 1) / alignment * alignment;
  return std::aligned_alloc(alignment, rounded);
}

void counted_release(void* p) noexcept {
  if (p == nullptr) return;
  deallocation_count.fetch_add(1, std::memory_order_relaxed);
  std::free(p);
}

void* allocate_or_throw(std::size_t size, std::size_t alignment) {
  void* p = counted_allocate(size, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

std::uint64_t allocations() { return allocation_count.load(std::memory_order_relaxed); }
std::uint64_t deallocations() { return deallocation_count.load(std::memory_order_relaxed); }
std::uint64_t bytes_allocated() { return byte_count.load(std::memory_order_relaxed); }

}  // namespace quolin::alloc_counter

using quolin::alloc_counter::allocate_or_throw;
using quolin::alloc_counter::counted_allocate;
using quolin::alloc_counter::counted_release;

constexpr std::size_t DEFAULT_ALIGNMENT = alignof(std::max_align_t);

void* operator new(std::size_t size) { return allocate_or_throw(size, DEFAULT_ALIGNMENT); }
void* operator new[](std::size_t size) { return allocate_or_throw(size, DEFAULT_ALIGNMENT); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocate(size, DEFAULT_ALIGNMENT);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_allocate(size, DEFAULT_ALIGNMENT);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return counted_allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return counted_allocate(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* p) noexcept { counted_release(p); }
void operator delete[](void* p) noexcept { counted_release(p); }
void operator delete(void* p, std::size_t) noexcept { counted_release(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_release(p); }
void operator delete(void* p, std::align_val_t) noexcept { counted_release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { counted_release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { counted_release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { counted_release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { counted_release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { counted_release(p); }
