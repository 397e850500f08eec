// The files of the debug log and how initialize() chooses one.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

// One open log file. Every EvDebug of the process that logs to the same path
// shares one instance, so the file has a single descriptor however many logs
// write to it. The process keeps the instance of a path open between logs
// (see acquireLogFile()); an instance replaced after a rotation is closed when
// the last log writing to it lets go.
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
    // Whether the path still names the file opened: false once it was
    // renamed or removed, or another file took its name.
    bool stillNamedByPath() const;

    // Append one finished line with a single write(). The descriptor is in
    // append mode, so a line lands whole at the end of the file even while
    // other threads and processes append to it.
    void append(const char* line, size_t length) const;

private:
    std::string m_path;
    int m_fd;
    // The identity of the file opened, to tell it from a file that took its name.
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

namespace tqlib {

// Where log files go unless the environment says otherwise.
constexpr char kLogDirectoryEnv[] = "TQ_LOG_DIR";
constexpr char kDefaultLogDirectory[] = "/var/log/tq";

// The open file at `path`: the instance the process opened before, or a newly
// opened one (its folder created when missing). Every helper handle sets up
// its log, so the file stays open between logs and a set-up costs one stat()
// of the path; a file renamed or removed since (rotated) is left to the logs
// still writing to it and the path is opened afresh. Null when the file (or
// its folder) cannot be opened.
std::shared_ptr<EvDebugFileInstance> acquireLogFile(const std::string& path);

// The file that initialize(moduleId, ..., name) writes to. Empty when `name`
// is not a plain file name.
std::string chooseLogFilePath(unsigned int moduleId, const std::string& name);

// write() until all `length` bytes are out or the descriptor fails.
void writeWhole(int fd, const char* data, size_t length);

}  // namespace tqlib
