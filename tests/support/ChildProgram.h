// A program a test starts: its standard output and error go to files of a
// temporary folder; it is killed and reaped at destruction if still running,
// so no test leaves a process behind, also when it fails.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "TemporaryFolder.h"

namespace tqtest {

class ChildProgram {
public:
    // Starts `command` (the program's path, then its arguments) with this
    // process's environment plus `extraEnvironment` ("NAME=value", which
    // win over inherited ones). Throws std::runtime_error when it cannot start.
    ChildProgram(const TemporaryFolder& folder, const std::vector<std::string>& command,
                 const std::vector<std::string>& extraEnvironment = {});
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    // Exit status (128 + signal when a signal ended it), or -1 when it did
    // not end within `limit` (the destructor then kills it).
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
    void signal(int number);
    std::string out() const { return readFile(m_outFile); }
    std::string err() const { return readFile(m_errFile); }

private:
    std::string m_outFile;
    std::string m_errFile;
    pid_t m_pid = -1;
};

// A program run to its end.
struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};
ProgramRun runProgram(const TemporaryFolder& folder, const std::vector<std::string>& command,
                      const std::vector<std::string>& extraEnvironment = {});

}  // namespace tqtest
