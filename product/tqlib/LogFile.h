// The files of the debug log and how initialize() chooses one.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// One open log file. Every EvDebug of the process that logs to the same path
// shares one instance, so the file has a single descriptor however many logs
// write to it; it is closed when the last of them lets go.
class EvDebugFileInstance {
public:
    // Opens (creating when missing) `path` for appending; see isOpen(). Only a
    // regular file is opened, and opening never blocks.
    explicit EvDebugFileInstance(std::string path);
    ~EvDebugFileInstance();
    EvDebugFileInstance(const EvDebugFileInstance&) = delete;
    EvDebugFileInstance& operator=(const EvDebugFileInstance&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }

    // Append one finished line with a single write(). The descriptor is in
    // append mode, so a line lands whole at the end of the file even while
    // other threads and processes append to it.
    void append(const char* line, size_t length) const;

private:
    std::string m_path;
    int m_fd;
};

namespace tqlib {

// Where log files go unless the environment says otherwise.
constexpr char kLogDirectoryEnv[] = "TQ_LOG_DIR";
constexpr char kDefaultLogDirectory[] = "/var/log/tq";

// The open file at `path`: the instance another log of the process already
// holds, or a newly opened one. Null when the file cannot be opened.
std::shared_ptr<EvDebugFileInstance> acquireLogFile(const std::string& path);

// The file that initialize(moduleId, ..., name) writes to, with its directory
// created when missing. Empty when `name` is not a plain file name or the
// directory cannot be created.
std::string chooseLogFilePath(unsigned int moduleId, const std::string& name);

// write() until all `length` bytes are out or the descriptor fails.
void writeWhole(int fd, const char* data, size_t length);

}  // namespace tqlib
