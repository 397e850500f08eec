#include "DebugLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "EvDebug.h"

namespace {

constexpr char kLogFolderEnv[] = "TQ_LOG_DIR";
constexpr char kDefaultLogFolder[] = "/var/log/tq";
constexpr char kHelperLogFile[] = "CIHelper.log";
// The module and level the helper opens its log with; the module selects CIHelper.log.
constexpr unsigned int kHelperLogModule = 0x27C30418;
constexpr long long kHelperLogLevel = -123456;
// A line is "<pid> <thread> <MM/DD> <HH:MM:SS.mmm> <text>".
constexpr int kPrefixFields = 4;

std::string configuredFolder() {
    const char* folder = std::getenv(kLogFolderEnv);
    return folder != nullptr && *folder != '\0' ? folder : kDefaultLogFolder;
}

// The text of a log line, after its prefix fields.
std::string textOf(const std::string& line) {
    size_t start = 0;
    for (int field = 0; field < kPrefixFields && start != std::string::npos; ++field) {
        start = line.find(' ', start);
        if (start != std::string::npos) ++start;
    }
    return start == std::string::npos ? line : line.substr(start);
}

}  // namespace

DebugLog::DebugLog() : m_folder(configuredFolder()), m_path(m_folder + "/" + kHelperLogFile) {}

std::string DebugLog::problem() const {
    EvDebug log(nullptr);
    if (log.initialize(kHelperLogModule, kHelperLogLevel, false, std::string())) {
        return {};
    }
    // The log said no; find out why the same way it tried.
    std::error_code error;
    if (!std::filesystem::is_directory(m_folder, error)) {
        std::filesystem::create_directories(m_folder, error);
        if (error) {
            return "cannot create the debug log folder " + m_folder + ": " + error.message();
        }
    }
    const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        return "cannot open the debug log " + m_path + ": " + std::strerror(errno);
    }
    ::close(fd);
    return "cannot open the debug log in " + m_folder;
}

void DebugLog::mark() {
    std::error_code error;
    const auto size = std::filesystem::file_size(m_path, error);
    m_mark = error ? 0 : size;
}

std::vector<std::string> DebugLog::lines() const {
    std::vector<std::string> texts;
    std::ifstream log(m_path);
    if (!log || !log.seekg(static_cast<std::streamoff>(m_mark))) {
        return texts;
    }
    const std::string ownPid = std::to_string(::getpid()) + " ";
    for (std::string line; std::getline(log, line);) {
        if (line.compare(0, ownPid.size(), ownPid) == 0) {
            texts.push_back(textOf(line));
        }
    }
    return texts;
}
