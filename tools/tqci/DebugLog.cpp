#include "tqci/DebugLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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
        if (start != std::string::npos) {
            ++start;
        }
    }
    return start == std::string::npos ? line : line.substr(start);
}

// Why `status` is not a log tqci can read, or empty.
std::string notReadable(const struct stat& status, const std::string& path) {
    if (S_ISREG(status.st_mode)) {
        return {};
    }
    const char* kind = S_ISDIR(status.st_mode)    ? "a directory"
                       : S_ISFIFO(status.st_mode) ? "a FIFO"
                       : S_ISCHR(status.st_mode)  ? "a character device"
                       : S_ISSOCK(status.st_mode) ? "a socket"
                                                  : "not a regular file";
    return "the debug log " + path + " is " + kind + ", not a regular file";
}

}  // namespace

DebugLog::DebugLog() : m_folder(configuredFolder()), m_path(m_folder + "/" + kHelperLogFile) {}

std::string DebugLog::problem() const {
    EvDebug log(nullptr);
    if (log.initialize(kHelperLogModule, kHelperLogLevel, false, std::string())) {
        return {};
    }
    // The log said no; find out why the same way it tried.
    struct stat status {};
    if (::stat(m_path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        return notReadable(status, m_path);
    }
    std::error_code error;
    if (!std::filesystem::is_directory(m_folder, error)) {
        std::filesystem::create_directories(m_folder, error);
        if (error) {
            return "cannot create the debug log folder " + m_folder + ": " + error.message();
        }
    }
    const int fd =
        ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        return "cannot open the debug log " + m_path + ": " + std::strerror(errno);
    }
    ::close(fd);
    return "cannot open the debug log in " + m_folder;
}

void DebugLog::mark() {
    m_mark = 0;
    m_device = 0;
    m_inode = 0;
    m_markProblem.clear();
    struct stat status {};
    if (::stat(m_path.c_str(), &status) != 0) {
        return;  // created by the call
    }
    m_markProblem = notReadable(status, m_path);
    m_mark = static_cast<uint64_t>(status.st_size);
    m_device = status.st_dev;
    m_inode = status.st_ino;
}

CallLines DebugLog::lines() const {
    CallLines call;
    if (!m_markProblem.empty()) {
        call.incomplete = m_markProblem;
        return call;
    }
    // Non-blocking, so that a FIFO put in its place cannot hold tqci up.
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        call.incomplete = "cannot read the debug log " + m_path + ": " + std::strerror(errno);
        return call;
    }
    struct stat status {};
    (void)::fstat(fd, &status);
    const auto size = static_cast<uint64_t>(status.st_size);
    call.incomplete = notReadable(status, m_path);
    if (call.incomplete.empty() && m_inode != 0 &&
        (status.st_dev != m_device || status.st_ino != m_inode || size < m_mark)) {
        call.incomplete = "the debug log " + m_path + " was replaced or cut during the call";
    }
    if (!call.incomplete.empty()) {
        ::close(fd);
        return call;
    }
    uint64_t length = size - m_mark;
    if (length > kReadCap) {
        length = kReadCap;
        call.incomplete = "the call wrote more than " + std::to_string(kReadCap >> 20) +
                          " MiB to the debug log " + m_path + ": only the first part was read";
    }
    std::string bytes(length, '\0');
    const ssize_t got = ::pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(m_mark));
    ::close(fd);
    bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    const std::string ownPid = std::to_string(::getpid()) + " ";
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        if (bytes.compare(start, ownPid.size(), ownPid) == 0) {
            call.texts.push_back(textOf(bytes.substr(start, end - start)));
        }
        start = end + 1;
    }
    return call;
}
