// The helper's debug log as tqci reads it: $TQ_LOG_DIR/CIHelper.log (default
// /var/log/tq). The reasons of a call are the lines it wrote there.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// The lines one call wrote, and whether they could all be read.
struct CallLines {
    std::vector<std::string> texts;
    // Empty when every byte appended during the call was read; otherwise why
    // not (the log is not a regular file, was replaced or cut, or the call
    // wrote more than tqci reads).
    std::string incomplete;
};

class DebugLog {
public:
    // At most this much of what is appended during one call is read.
    static constexpr uint64_t kReadCap = uint64_t{16} << 20;

    DebugLog();

    const std::string& path() const { return m_path; }

    // Empty when the product's debug log opens the helper's file; otherwise
    // why it cannot, naming the folder or file.
    std::string problem() const;

    // Marks the end of the log: lines() returns what is written after it.
    void mark();
    // The texts (without pid, thread and time) of the lines that this process
    // wrote since the last mark(). Never reads anything but a regular file,
    // never more than kReadCap bytes.
    CallLines lines() const;

private:
    std::string m_folder;
    std::string m_path;
    uint64_t m_mark = 0;
    // The file marked (0, 0: none yet), to tell when it was replaced.
    dev_t m_device = 0;
    ino_t m_inode = 0;
    std::string m_markProblem;
};
