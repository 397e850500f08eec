// Heap allocations made by the calling thread, counted at the malloc level:
// operator new, the C library's own users (SQLite, vsnprintf, getaddrinfo)
// and every shared object of the process go through it.
#pragma once

#include <cstdint>

namespace bench {

// Whether this binary counts allocations. False when it was built without
// the counter (sanitizer builds, or for heap profilers that must see every
// allocation themselves).
bool allocationsCounted();

// Allocations (malloc, calloc, realloc, aligned forms, operator new) made by
// this thread since it started.
uint64_t threadAllocations();

// Allocations of this thread during the life of the object.
class AllocationScope {
public:
    AllocationScope() : m_start(threadAllocations()) {}
    uint64_t count() const { return threadAllocations() - m_start; }

private:
    uint64_t m_start;
};

}  // namespace bench
