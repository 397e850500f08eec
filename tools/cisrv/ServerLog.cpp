// Time-stamped log lines.
#include "ServerLog.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace cisrv {

namespace {

int keepOpen(FILE*) { return 0; }

std::string timeStamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[64];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    (void)std::snprintf(text + length, sizeof text - length, ".%03ld", now.tv_nsec / 1000000);
    return text;
}

}  // namespace

Status ServerLog::open(const std::string& file, std::unique_ptr<ServerLog>& out) {
    FILE* stream = std::fopen(file.c_str(), "ae");
    if (stream == nullptr) {
        return Status::failure("cannot open log " + file + ": " + std::strerror(errno));
    }
    out.reset(new ServerLog(Stream(stream, &::fclose)));
    return Status::ok();
}

std::unique_ptr<ServerLog> ServerLog::toStandardError() {
    return std::unique_ptr<ServerLog>(new ServerLog(Stream(stderr, &keepOpen)));
}

void ServerLog::write(const std::string& message) {
    const std::string line = timeStamp() + " " + message + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    // A log that cannot be written has nowhere to report it.
    (void)std::fwrite(line.data(), 1, line.size(), m_stream.get());
    (void)std::fflush(m_stream.get());
}

}  // namespace cisrv
