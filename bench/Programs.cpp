#include "Programs.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace bench {

namespace {

constexpr auto kStopGrace = std::chrono::seconds(20);
constexpr auto kReapPoll = std::chrono::milliseconds(10);

int g_clientCpu = -1;
int g_serverCpu = -1;

void pinCallingThread(int cpu) {
    if (cpu < 0) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)sched_setaffinity(0, sizeof set, &set);
}

// The arguments as one shell command, each in single quotes (none of the
// benchmarks' arguments holds a quote).
std::string shellCommand(const std::vector<std::string>& arguments) {
    std::string command;
    for (const std::string& argument : arguments) {
        command += " '" + argument + "'";
    }
    return command;
}

}  // namespace

std::string programDirectory() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

std::string runProgram(const std::vector<std::string>& arguments) {
    const std::string command = shellCommand(arguments);
    FILE* pipe = ::popen(command.c_str(), "re");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot start" + command);
    }
    std::string output;
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        output.append(chunk, got);
    }
    const int status = ::pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(command + " failed (wait status " + std::to_string(status) + ")");
    }
    return output;
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    runOnServerCpu();  // the child keeps the CPUs of the thread that starts it
    const int rc = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    pinCallingThread(g_clientCpu);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error("cannot start" + shellCommand(arguments) + ": " +
                                 std::strerror(rc));
    }
}

ChildProcess::~ChildProcess() {
    if (m_reaped) {
        return;
    }
    ::kill(m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            return;
        }
        std::this_thread::sleep_for(kReapPoll);
    }
    ::kill(m_pid, SIGKILL);
    while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

bool ChildProcess::running() {
    if (!m_reaped && ::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
        m_reaped = true;
    }
    return !m_reaped;
}

std::string placeOnCpus() {
    const char* setting = std::getenv("TQ_BENCH_PIN");
    cpu_set_t allowed;
    if ((setting != nullptr && std::strcmp(setting, "0") == 0) ||
        sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return "not pinned";
    }
    int cpus[2] = {-1, -1};
    for (int cpu = 0, found = 0; cpu < CPU_SETSIZE && found < 2; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            cpus[found++] = cpu;
        }
    }
    if (cpus[1] < 0) {
        return "not pinned (one CPU)";
    }
    g_clientCpu = cpus[0];
    g_serverCpu = cpus[1];
    pinCallingThread(g_clientCpu);
    return "client on CPU " + std::to_string(g_clientCpu) + ", servers on CPU " +
           std::to_string(g_serverCpu);
}

void runOnServerCpu() { pinCallingThread(g_serverCpu); }

}  // namespace bench
