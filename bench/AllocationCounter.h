// Heap allocations made by the calling thread, counted at the malloc level:
// operator new, the C library's own users (SQLite, vsnprintf, getaddrinfo)
// and every shared object of the process go through it.
#pragma once

#include <cstdint>

namespace bench {

// False in builds without the counter (sanitizers and heap profilers need the
// C library's allocator in place): then nothing is counted.
bool allocationsCounted();

// Allocations (malloc, calloc, realloc, the aligned forms, operator new) made
// by this thread since it started.
uint64_t threadAllocations();

}  // namespace bench
