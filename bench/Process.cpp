#include "Process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>

namespace bench {

namespace {

constexpr auto kStopGrace = std::chrono::seconds(20);
constexpr auto kReapPoll = std::chrono::milliseconds(10);

std::string commandLine(const std::vector<std::string>& arguments) {
    std::string text;
    for (const auto& argument : arguments) text += (text.empty() ? "" : " ") + argument;
    return text;
}

// posix_spawn with standard output sent to `outputFd` (-1: /dev/null).
pid_t spawn(const std::vector<std::string>& arguments, int outputFd) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error("cannot start " + commandLine(arguments) + ": " +
                                 std::strerror(rc));
    }
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

}  // namespace

std::string programDirectory() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

std::string findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        std::string candidate = folders.substr(start, end - start) + "/" + program;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

void runProgram(const std::vector<std::string>& arguments, std::string* output) {
    int pipeFds[2] = {-1, -1};
    if (output != nullptr && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create a pipe: " + std::string(std::strerror(errno)));
    }
    pid_t pid = -1;
    try {
        pid = spawn(arguments, pipeFds[1]);
    } catch (...) {
        if (output != nullptr) {
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
        }
        throw;
    }
    if (output != nullptr) {
        ::close(pipeFds[1]);
        char chunk[4096];
        for (;;) {
            const ssize_t got = ::read(pipeFds[0], chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            output->append(chunk, static_cast<size_t>(got));
        }
        ::close(pipeFds[0]);
    }
    const int status = waitFor(pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(commandLine(arguments) + " failed (wait status " +
                                 std::to_string(status) + ")");
    }
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments)
    : m_pid(spawn(arguments, -1)) {}

ChildProcess::~ChildProcess() {
    if (m_reaped) return;
    ::kill(m_pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
        std::this_thread::sleep_for(kReapPoll);
    }
    ::kill(m_pid, SIGKILL);
    waitFor(m_pid);
}

bool ChildProcess::running() {
    if (m_reaped) return false;
    if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) m_reaped = true;
    return !m_reaped;
}

TempDir::TempDir(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder: " +
                                 std::string(std::strerror(errno)));
    }
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

}  // namespace bench
