// What the benchmarks' figures rest on where a fault would not stop them but
// skew them: allocations are counted per thread by every allocation function,
// and a raw stream's graceful close returns only once the peer has read
// everything, so that the baseline is not timed short.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "AllocationCounter.h"
#include "TqMessages.h"
#include "WirePeer.h"
#include "session/TqWire.h"

namespace bench {
namespace {

// Keeps the compiler from dropping an allocation whose result goes unused.
void* volatile g_sink;

TEST(AllocationCounterTest, EveryAllocationFunctionCountsOnceOnItsOwnThread) {
    if (!allocationsCounted()) {
        GTEST_SKIP() << "built without the allocation counter";
    }
    const uint64_t start = threadAllocations();
    void* block = std::malloc(24);
    g_sink = block = std::realloc(block, 4096);
    std::free(block);
    std::free(g_sink = std::calloc(4, 8));
    void* aligned = nullptr;
    ASSERT_EQ(posix_memalign(&aligned, 64, 100), 0);
    std::free(aligned);
    std::free(g_sink = std::aligned_alloc(64, 128));
    delete static_cast<long*>(g_sink = new long(5));
    EXPECT_EQ(threadAllocations() - start, 6u);

    uint64_t theirs = 0;
    std::thread other([&theirs] {
        const uint64_t before = threadAllocations();
        for (int i = 0; i < 10; ++i) {
            std::free(g_sink = std::malloc(64));
        }
        theirs = threadAllocations() - before;
    });
    const uint64_t beforeJoin = threadAllocations();
    other.join();
    EXPECT_EQ(theirs, 10u);
    EXPECT_EQ(threadAllocations(), beforeJoin);
}

std::string pruneFrame() {
    tqmsg::AfPruneReq record{};
    const char* bytes = reinterpret_cast<const char*>(&record);
    size_t length = 0;
    EXPECT_FALSE(
        tqsession::measureBody(tqmsg::kAfPruneReq, bytes, sizeof record, length).IsError());
    std::string frame(tqsession::kFrameHeaderSize + length, '\0');
    tqsession::encodeFrameHeader(tqmsg::kAfPruneReq, static_cast<uint32_t>(length),
                                 reinterpret_cast<unsigned char*>(frame.data()));
    EXPECT_FALSE(tqsession::encodeBody(tqmsg::kAfPruneReq, bytes, sizeof record,
                                       &frame[tqsession::kFrameHeaderSize], length)
                     .IsError());
    return frame;
}

TEST(RawSocketTest, GracefulCloseReturnsOnceThePeerHasReadEverything) {
    WirePeer peer;
    RawSocket socket(peer.port());
    const std::string prune = pruneFrame();
    for (int i = 0; i < 2000; ++i) {
        socket.writeAll(prune);
    }
    socket.closeGracefully();
    EXPECT_EQ(peer.counts().prunes, 2000u);
}

}  // namespace
}  // namespace bench
