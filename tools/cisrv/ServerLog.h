// The server's own log: one line per event, with a time stamp, written whole
// and flushed, from any thread.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "Status.h"

namespace cisrv {

class ServerLog {
public:
    // Appends to `file`, creating it when missing.
    static Status open(const std::string& file, std::unique_ptr<ServerLog>& out);
    static std::unique_ptr<ServerLog> toStandardError();

    ServerLog(const ServerLog&) = delete;
    ServerLog& operator=(const ServerLog&) = delete;

    // "YYYY-MM-DD HH:MM:SS.mmm <message>"; `message` is written as given, so
    // texts from peers must be escaped by the caller (escapeControl).
    void write(const std::string& message);

private:
    using Stream = std::unique_ptr<FILE, int (*)(FILE*)>;
    explicit ServerLog(Stream stream) : m_stream(std::move(stream)) {}

    std::mutex m_mutex;
    Stream m_stream;
};

}  // namespace cisrv
