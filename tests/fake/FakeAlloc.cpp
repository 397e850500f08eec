// Replaces the non-throwing forms of operator new so that a test can make the
// library's own allocations (the handle, each session, each path copy) fail on
// demand. The throwing forms, used by the standard library and the fake, are
// untouched. Memory still comes from the throwing form, so sanitizers see
// matching new/delete pairs.

#include <atomic>
#include <new>

#include "FakeProduct.h"

namespace {
std::atomic<long> gFailCountdown{0};

bool failThisAllocation() {
    long current = gFailCountdown.load();
    while (current > 0) {
        if (gFailCountdown.compare_exchange_weak(current, current - 1)) {
            return current == 1;
        }
    }
    return false;
}
}  // namespace

namespace fake {
void failNothrowAllocation(long n) { gFailCountdown = n; }
}  // namespace fake

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (failThisAllocation()) {
        return nullptr;
    }
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (failThisAllocation()) {
        return nullptr;
    }
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}
