// The client and the servers of the network benchmarks on CPUs of their own.
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdlib>
#include <thread>

#include "Affinity.h"

namespace bench {
namespace {

cpu_set_t cpusOfThisThread() {
    cpu_set_t set;
    CPU_ZERO(&set);
    EXPECT_EQ(0, sched_getaffinity(0, sizeof set, &set));
    return set;
}

TEST(AffinityTest, ServersRunOnTheirOwnCpuAndTheClientGetsItsCpuBack) {
    const cpu_set_t original = cpusOfThisThread();
    if (CPU_COUNT(&original) < 2) GTEST_SKIP() << "one CPU: nothing is pinned";
    unsetenv("TQ_BENCH_PIN");  // pinning is on unless turned off
    ASSERT_TRUE(choosePinnedCpus());

    pinThisThreadToClientCpu();
    const cpu_set_t client = cpusOfThisThread();
    EXPECT_EQ(1, CPU_COUNT(&client));
    cpu_set_t server;
    cpu_set_t started;
    {
        const ServerCpuScope onServerCpu;
        server = cpusOfThisThread();
        // What the scope starts keeps the server CPU after the scope ends.
        std::thread([&] { started = cpusOfThisThread(); }).join();
    }
    EXPECT_EQ(1, CPU_COUNT(&server));
    EXPECT_FALSE(CPU_EQUAL(&client, &server));
    EXPECT_TRUE(CPU_EQUAL(&server, &started));
    const cpu_set_t after = cpusOfThisThread();
    EXPECT_TRUE(CPU_EQUAL(&client, &after));

    (void)sched_setaffinity(0, sizeof original, &original);
}

}  // namespace
}  // namespace bench
