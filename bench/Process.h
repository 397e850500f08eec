// Programs the benchmarks start: the directory tool, the reference CI server,
// a Redis server and its benchmark client.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// The folder of the running program (build/bin, where tqdir and cisrv lie).
std::string programDirectory();
// The full name of `program` on $PATH; empty when it is not there.
std::string findOnPath(const std::string& program);

// Runs a program to its end. Its standard output goes to /dev/null unless
// `output` is given, which then receives it. Throws std::runtime_error when
// it cannot start or does not exit with status 0.
void runProgram(const std::vector<std::string>& arguments, std::string* output = nullptr);

// A program running beside the benchmarks.
class ChildProcess {
public:
    // Starts `arguments`; standard output goes to /dev/null.
    explicit ChildProcess(const std::vector<std::string>& arguments);
    // Stops it (SIGTERM, SIGKILL after a grace period) and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // False once it has exited (reaping it).
    bool running();

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
};

// A folder under /tmp removed with everything in it.
class TempDir {
public:
    explicit TempDir(const char* prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

}  // namespace bench
