// Counts heap allocations per thread by defining the allocation functions of
// the C library in the executable: every shared object resolves malloc() to
// these, which count and hand over to the C library's own implementation.
// operator new ends up in malloc(), so it is counted too.
#include "AllocationCounter.h"

#include <cerrno>
#include <cstddef>

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

bool isPowerOfTwo(size_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

namespace bench {

bool allocationsCounted() { return true; }

uint64_t threadAllocations() { return t_allocations; }

}  // namespace bench

extern "C" {

void* malloc(size_t size) noexcept {
    ++t_allocations;
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
    ++t_allocations;
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) noexcept {
    // A resize may move the block: it is an allocation of its own.
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
    if (!isPowerOfTwo(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
    ++t_allocations;
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *out = block;
    return 0;
}

}  // extern "C"
