// Time-stamped log lines with levels, and reopening the log file.
#include "cisrv/ServerLog.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "common/ErrorResult.h"

namespace cisrv {

namespace {

int keepOpen(FILE*) { return 0; }

// ISO 8601 in UTC with milliseconds: "2026-01-05T10:00:00.001Z".
std::string timeStamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    char text[64];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    (void)std::snprintf(text + length, sizeof text - length, ".%03ldZ", now.tv_nsec / 1000000);
    return text;
}

const char* levelName(ServerLog::Level level) {
    switch (level) {
        case ServerLog::Level::Info: return "info";
        case ServerLog::Level::Warn: return "warn";
        case ServerLog::Level::Error: return "error";
    }
    return "error";
}

FILE* openForAppending(const std::string& file) { return std::fopen(file.c_str(), "ae"); }

}  // namespace

CYxError ServerLog::open(const std::string& file, std::unique_ptr<ServerLog>& out) {
    FILE* stream = openForAppending(file);
    if (stream == nullptr) {
        return tqcommon::ioError("cannot open log " + file + ": " + std::strerror(errno));
    }
    out.reset(new ServerLog(Stream(stream, &::fclose), file));
    return CYxError();
}

std::unique_ptr<ServerLog> ServerLog::toStandardError() {
    return std::unique_ptr<ServerLog>(new ServerLog(Stream(stderr, &keepOpen), std::string()));
}

void ServerLog::write(Level level, const std::string& message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (reopenRequested()) {
        reopenLocked();
    }
    writeLocked(level, message);
}

void ServerLog::reopenIfRequested() {
    if (!reopenRequested()) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (reopenRequested()) {
        reopenLocked();
    }
}

void ServerLog::writeLocked(Level level, const std::string& message) {
    const std::string line = timeStamp() + " " + levelName(level) + " " + message + "\n";
    // A log that cannot be written has nowhere to report it.
    (void)std::fwrite(line.data(), 1, line.size(), m_stream.get());
    (void)std::fflush(m_stream.get());
}

void ServerLog::reopenLocked() {
    m_reopens.store(s_reopenRequests.load());
    if (m_file.empty()) {
        return;
    }
    FILE* stream = openForAppending(m_file);
    if (stream == nullptr) {
        writeLocked(Level::Error, "cannot reopen log " + m_file + ": " + std::strerror(errno) +
                                      "; still writing to the file opened before");
        return;
    }
    m_stream.reset(stream);
    writeLocked(Level::Info, "log reopened");
}

std::string secondsText(int64_t milliseconds) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%g s", static_cast<double>(milliseconds) / 1000);
    return text;
}

}  // namespace cisrv
