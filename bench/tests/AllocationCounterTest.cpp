// The allocation counter counts every allocation function, per thread.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "AllocationCounter.h"

namespace bench {
namespace {

// Keeps the compiler from dropping an allocation whose result goes unused.
void* volatile g_sink;

class AllocationCounterTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!allocationsCounted()) GTEST_SKIP() << "built without the allocation counter";
    }
};

TEST_F(AllocationCounterTest, EveryAllocationFunctionCountsOnce) {
    const AllocationScope scope;
    void* block = std::malloc(24);
    g_sink = block;
    EXPECT_EQ(scope.count(), 1u);
    block = std::realloc(block, 4096);
    g_sink = block;
    EXPECT_EQ(scope.count(), 2u);
    std::free(block);
    EXPECT_EQ(scope.count(), 2u);  // freeing is no allocation
    void* zeroed = std::calloc(4, 8);
    g_sink = zeroed;
    std::free(zeroed);
    void* aligned = nullptr;
    ASSERT_EQ(posix_memalign(&aligned, 64, 100), 0);
    std::free(aligned);
    void* alignedAlloc = std::aligned_alloc(64, 128);
    g_sink = alignedAlloc;
    std::free(alignedAlloc);
    EXPECT_EQ(scope.count(), 5u);
}

TEST_F(AllocationCounterTest, OperatorNewAndContainersAreCounted) {
    const AllocationScope scope;
    auto number = std::make_unique<long>(5);
    std::string longText(100, 'x');
    EXPECT_EQ(scope.count(), 2u);
    std::string shortText = "short";  // fits the string itself
    EXPECT_EQ(scope.count(), 2u);
}

TEST_F(AllocationCounterTest, AnotherThreadsAllocationsAreNotCounted) {
    const AllocationScope scope;
    uint64_t counted = 0;
    std::thread other;
    const uint64_t beforeThread = scope.count();  // starting a thread allocates
    other = std::thread([&counted] {
        const AllocationScope theirs;
        for (int i = 0; i < 10; ++i) std::free(g_sink = std::malloc(64));
        counted = theirs.count();
    });
    other.join();
    EXPECT_EQ(counted, 10u);
    // Starting the thread allocates a little here; its ten allocations stay there.
    EXPECT_LT(scope.count() - beforeThread, 10u);
}

TEST_F(AllocationCounterTest, InvalidAlignmentIsRefusedWithoutAllocating) {
    const AllocationScope scope;
    void* block = nullptr;
    EXPECT_EQ(posix_memalign(&block, 3, 16), EINVAL);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(scope.count(), 0u);
}

}  // namespace
}  // namespace bench
