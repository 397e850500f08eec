// What the benchmarks need of the system: other programs run to their end or
// kept running beside them, and the CPUs they run on.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// The folder of the running program (build/bin, where tqdir and cisrv lie).
std::string programDirectory();

// Runs a program to its end and returns its standard output. Throws
// std::runtime_error when it cannot start or does not exit with status 0.
std::string runProgram(const std::vector<std::string>& arguments);

// A program (found on $PATH unless named with a folder) running beside the
// benchmarks, on the servers' CPU. Its standard output goes to /dev/null.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& arguments);
    // Stops it (SIGTERM, SIGKILL after 20 s) and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False once it has exited.
    bool running();

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
};

// On this kind of two-CPU virtual machine a loopback round trip takes 15 µs
// when the server is woken on the client's CPU and about 60 µs when it is
// woken on the other, idle one; left to the scheduler, cases whose servers
// happened to be placed differently were not comparable. placeOnCpus() keeps
// the calling thread (the client) on the first CPU it may use and
// runOnServerCpu() moves a server thread to the second, so that every round
// trip crosses CPUs as between two machines. Without a second CPU, or with
// TQ_BENCH_PIN=0, nothing is pinned. Returns what was done, for the report.
std::string placeOnCpus();
void runOnServerCpu();

}  // namespace bench
