// Counts the heap allocations of the whole process. alloc_counter.cpp replaces the global
// operator new and delete, so every allocation (ours, the standard library's) passes here.
//
//   std::uint64_t before = alloc_counter::allocations();
//   work();
//   std::uint64_t made = alloc_counter::allocations() - before;
#pragma once

#include <cstdint>

namespace quolin::alloc_counter {

// Calls of any form of operator new since the start of the process.
std::uint64_t allocations();
// Calls of any form of operator delete with a non-null pointer.
std::uint64_t deallocations();
// Bytes asked for by all the allocations.
std::uint64_t bytes_allocated();

}  // namespace quolin::alloc_counter
