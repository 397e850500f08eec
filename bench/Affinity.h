// Where the benchmark runs its client and its servers. On this kind of
// virtual machine a loopback round trip takes 15 µs when the server is woken
// on the client's CPU and about 60 µs when it is woken on another, idle one;
// left to the scheduler, cases whose servers are placed differently (the
// peer's thread, Redis's process) are not comparable. With two CPUs or more
// the client runs on one and every server on another, so that every round
// trip wakes the other side on a CPU of its own, as between two machines.
#pragma once

namespace bench {

// Chooses the two CPUs from the process's allowed set. False (and nothing is
// pinned) with fewer than two CPUs or with TQ_BENCH_PIN=0.
bool choosePinnedCpus();
// A one-line description for the report: "client on CPU 0, servers on CPU 1"
// or "not pinned".
const char* pinningDescription();
// Keeps the calling thread on the client CPU from now on.
void pinThisThreadToClientCpu();

// While alive, the calling thread runs on the server CPU, so that the threads
// and processes it starts run there too; the thread's CPUs are restored after.
class ServerCpuScope {
public:
    ServerCpuScope();
    ~ServerCpuScope();
    ServerCpuScope(const ServerCpuScope&) = delete;
    ServerCpuScope& operator=(const ServerCpuScope&) = delete;

private:
    bool m_pinned = false;
};

}  // namespace bench
