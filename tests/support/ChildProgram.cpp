#include "ChildProgram.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tqtest {

namespace {

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ChildProgram::ChildProgram(const TemporaryFolder& folder, const std::vector<std::string>& command,
                           const std::vector<std::string>& extraEnvironment) {
    static std::atomic<int> started{0};
    const std::string tag = std::to_string(++started);
    m_outFile = folder.file("out." + tag);
    m_errFile = folder.file("err." + tag);

    std::vector<std::string> arguments(command);
    // getenv() takes the first of two equal names: the extra ones go first.
    std::vector<std::string> environment(extraEnvironment);
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, m_errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        m_pid = -1;
        throw std::runtime_error("cannot start " + command.front() + ": " + std::strerror(rc));
    }
}

ChildProgram::~ChildProgram() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

void ChildProgram::signal(int number) {
    if (m_pid > 0) {
        ::kill(m_pid, number);
    }
}

int ChildProgram::wait(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) != m_pid) {
        if (std::chrono::steady_clock::now() > end) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_pid = -1;
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

ProgramRun runProgram(const TemporaryFolder& folder, const std::vector<std::string>& command,
                      const std::vector<std::string>& extraEnvironment) {
    ChildProgram program(folder, command, extraEnvironment);
    ProgramRun run;
    // Generous: only a hung program waits this long, and then fails.
    run.status = program.wait(std::chrono::seconds(60));
    run.out = program.out();
    run.err = program.err();
    return run;
}

}  // namespace tqtest
