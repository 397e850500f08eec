#include "EvDebug.h"

#include <unistd.h>

#include <cstdarg>
#include <memory>

#include "tqlib/LogFile.h"
#include "tqlib/LogLine.h"

namespace {

// debug() writes at the basic detail level 1: a log set up with level 0 keeps
// its file open but stays silent; any other level writes (negative: all).
constexpr long long kLevelSilent = 0;

}  // namespace

struct EvDebug::Impl {
    // The file opened by initialize() when the log was given no instance.
    std::shared_ptr<EvDebugFileInstance> ownFile;
    // Where lines go; null while the log is not set up for writing.
    EvDebugFileInstance* file = nullptr;
    bool toConsole = false;

    void stopWriting() {
        file = nullptr;
        ownFile.reset();
        toConsole = false;
    }
};

// The header fixes a raw Impl pointer; construction and destruction pair up here.
EvDebug::EvDebug(EvDebugFileInstance* instance) : m_instance(instance), m_impl(new Impl) {}

EvDebug::~EvDebug() { delete m_impl; }

bool EvDebug::initialize(unsigned int moduleId, long long level, bool toConsole,
                         const std::string& name) {
    // Whatever happens below, lines never go to the previous file again.
    m_impl->stopWriting();

    EvDebugFileInstance* file = m_instance;
    if (file == nullptr) {
        const std::string path = tqlib::chooseLogFilePath(moduleId, name);
        if (path.empty()) {
            return false;
        }
        m_impl->ownFile = tqlib::acquireLogFile(path);
        file = m_impl->ownFile.get();
    }
    if (file == nullptr || !file->isOpen()) {
        return false;
    }
    if (level != kLevelSilent) {
        m_impl->file = file;
        m_impl->toConsole = toConsole;
    }
    return true;
}

void EvDebug::debug(const char* format, ...) {
    EvDebugFileInstance* file = m_impl->file;
    if (file == nullptr || format == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    const tqlib::LineBuffer line(format, args);
    va_end(args);
    if (line.size() == 0) {
        return;
    }
    file->append(line.data(), line.size());
    if (m_impl->toConsole) {
        tqlib::writeWhole(STDERR_FILENO, line.data(), line.size());
    }
}
