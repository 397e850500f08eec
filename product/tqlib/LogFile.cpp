#include "tqlib/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

namespace {

constexpr mode_t kLogFileMode = 0644;

// Modules with a file name of their own; every other module logs to
// "module_<8 hex digits>.log".
struct ModuleLogName {
    unsigned int moduleId;
    const char* fileName;
};
constexpr ModuleLogName kModuleLogNames[] = {
    {0x27C30418u, "CIHelper.log"},
};

constexpr char kLogSuffix[] = ".log";

std::string logDirectory() {
    const char* configured = std::getenv(tqlib::kLogDirectoryEnv);
    return configured != nullptr && *configured != '\0' ? configured : tqlib::kDefaultLogDirectory;
}

bool ensureDirectory(const std::string& directory) {
    std::error_code error;
    // The folder is there nearly always: one stat() then.
    if (std::filesystem::is_directory(directory, error)) {
        return true;
    }
    std::filesystem::create_directories(directory, error);
    return std::filesystem::is_directory(directory, error);
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A name is taken as a file name inside the log directory, never as a path.
bool isPlainFileName(const std::string& name) {
    return name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string fileNameFor(unsigned int moduleId, const std::string& name) {
    if (!name.empty()) {
        return endsWith(name, kLogSuffix) ? name : name + kLogSuffix;
    }
    for (const ModuleLogName& known : kModuleLogNames) {
        if (known.moduleId == moduleId) {
            return known.fileName;
        }
    }
    char generic[sizeof "module_ffffffff.log"];
    (void)std::snprintf(generic, sizeof generic, "module_%08x.log", moduleId);
    return generic;
}

// Opens `path` for appending, creating it when missing; -1 unless it is a
// regular file. The open does not block: a FIFO without a reader would
// otherwise hold the host up in open(), and a FIFO, device or directory is
// no log file anyway. Writes block as usual afterwards.
int openRegularFileForAppend(const std::string& path) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, kLogFileMode);
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    // F_SETFL sets the status flags whole: O_APPEND is the only one opened
    // with that stays (the access mode and O_CREAT are not status flags).
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::fcntl(fd, F_SETFL, O_APPEND) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

EvDebugFileInstance::EvDebugFileInstance(std::string path)
    : m_path(std::move(path)), m_fd(openRegularFileForAppend(m_path)) {}

EvDebugFileInstance::~EvDebugFileInstance() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void EvDebugFileInstance::append(const char* line, size_t length) const {
    tqlib::writeWhole(m_fd, line, length);
}

namespace tqlib {

namespace {

// The files open in this process, by path. Never destroyed: a log may still be
// set up from another thread or a static destructor while the process exits.
struct OpenFiles {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<EvDebugFileInstance>> byPath;
};

OpenFiles& openFilesOfProcess() {
    static auto* const files = new OpenFiles;
    return *files;
}

}  // namespace

std::shared_ptr<EvDebugFileInstance> acquireLogFile(const std::string& path) {
    OpenFiles& files = openFilesOfProcess();
    std::lock_guard<std::mutex> lock(files.mutex);
    std::weak_ptr<EvDebugFileInstance>& slot = files.byPath[path];
    if (auto shared = slot.lock()) {
        return shared;
    }
    auto file = std::make_shared<EvDebugFileInstance>(path);
    if (!file->isOpen()) {
        files.byPath.erase(path);
        return nullptr;
    }
    slot = file;
    return file;
}

std::string chooseLogFilePath(unsigned int moduleId, const std::string& name) {
    if (!isPlainFileName(name)) {
        return {};
    }
    const std::string directory = logDirectory();
    if (!ensureDirectory(directory)) {
        return {};
    }
    return directory + "/" + fileNameFor(moduleId, name);
}

void writeWhole(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // a log that cannot be written must not stop its caller
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
}

}  // namespace tqlib
