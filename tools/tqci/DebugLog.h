// The helper's debug log as tqci reads it: $TQ_LOG_DIR/CIHelper.log (default
// /var/log/tq). The reasons of a call are the lines it wrote there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class DebugLog {
public:
    DebugLog();

    const std::string& path() const { return m_path; }

    // Empty when the product's debug log opens the helper's file; otherwise
    // why it cannot, naming the folder or file.
    std::string problem() const;

    // Marks the end of the log: lines() returns what is written after it.
    void mark();
    // The texts (without pid, thread and time) of the lines that this process
    // wrote since the last mark().
    std::vector<std::string> lines() const;

private:
    std::string m_folder;
    std::string m_path;
    uint64_t m_mark = 0;
};
