#include "Affinity.h"

#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace bench {

namespace {

int g_clientCpu = -1;
int g_serverCpu = -1;
cpu_set_t g_clientSet;
std::string g_description = "not pinned";

void pinCallingThread(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)sched_setaffinity(0, sizeof set, &set);
}

}  // namespace

bool choosePinnedCpus() {
    const char* setting = std::getenv("TQ_BENCH_PIN");
    if (setting != nullptr && std::strcmp(setting, "0") == 0) return false;
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
    for (int cpu = 0; cpu < CPU_SETSIZE && g_serverCpu < 0; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        if (g_clientCpu < 0) {
            g_clientCpu = cpu;
        } else {
            g_serverCpu = cpu;
        }
    }
    if (g_serverCpu < 0) {
        g_clientCpu = -1;
        return false;
    }
    CPU_ZERO(&g_clientSet);
    CPU_SET(g_clientCpu, &g_clientSet);
    g_description = "client on CPU " + std::to_string(g_clientCpu) + ", servers on CPU " +
                    std::to_string(g_serverCpu);
    return true;
}

const char* pinningDescription() { return g_description.c_str(); }

void pinThisThreadToClientCpu() {
    if (g_clientCpu >= 0) pinCallingThread(g_clientCpu);
}

ServerCpuScope::ServerCpuScope() : m_pinned(g_serverCpu >= 0) {
    if (m_pinned) pinCallingThread(g_serverCpu);
}

ServerCpuScope::~ServerCpuScope() {
    if (m_pinned) (void)sched_setaffinity(0, sizeof g_clientSet, &g_clientSet);
}

}  // namespace bench
