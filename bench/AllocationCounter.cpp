// Counts heap allocations per thread by defining the C library's allocation
// functions in the executable: every shared object resolves malloc() to
// these, which count and hand over to the C library's own implementation.
// Built without TQ_BENCH_COUNT_ALLOCATIONS it counts nothing and leaves the
// allocator alone.
#include "AllocationCounter.h"

#include <cerrno>
#include <cstddef>

#ifdef TQ_BENCH_COUNT_ALLOCATIONS

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {
// Initial-exec TLS of the executable: reading it never allocates, so it is
// safe inside malloc().
thread_local uint64_t t_allocations = 0;
}  // namespace

bool bench::allocationsCounted() { return true; }
uint64_t bench::threadAllocations() { return t_allocations; }

extern "C" {

void* malloc(size_t size) noexcept {
    ++t_allocations;
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
    ++t_allocations;
    return __libc_calloc(count, size);
}

// A resize may move the block: it counts as an allocation of its own.
void* realloc(void* pointer, size_t size) noexcept {
    ++t_allocations;
    return __libc_realloc(pointer, size);
}

void free(void* pointer) noexcept { __libc_free(pointer); }

void* aligned_alloc(size_t alignment, size_t size) noexcept {
    ++t_allocations;
    return __libc_memalign(alignment, size);
}

void* memalign(size_t alignment, size_t size) noexcept {
    ++t_allocations;
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
    if (alignment == 0 || (alignment & (alignment - 1)) != 0 || alignment % sizeof(void*) != 0) {
        return EINVAL;
    }
    ++t_allocations;
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) {
        return ENOMEM;
    }
    *out = block;
    return 0;
}

}  // extern "C"

#else

bool bench::allocationsCounted() { return false; }
uint64_t bench::threadAllocations() { return 0; }

#endif
