// Stand-in for builds without the allocation counter: the C library's
// allocator stays in place for sanitizers and heap profilers.
#include "AllocationCounter.h"

namespace bench {

bool allocationsCounted() { return false; }

uint64_t threadAllocations() { return 0; }

}  // namespace bench
