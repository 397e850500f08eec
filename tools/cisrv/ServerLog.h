// The server's own log: one line per event, with a UTC time stamp and a
// level, written whole and flushed, from any thread. A log written to a file
// can be reopened on request (SIGHUP), so that log rotation can move the
// file away and have the server write to a new one.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "Status.h"

namespace cisrv {

class ServerLog {
public:
    enum class Level { Info, Warn, Error };

    // Appends to `file`, creating it when missing.
    static Status open(const std::string& file, std::unique_ptr<ServerLog>& out);
    static std::unique_ptr<ServerLog> toStandardError();

    ServerLog(const ServerLog&) = delete;
    ServerLog& operator=(const ServerLog&) = delete;

    // "2026-01-05T10:00:00.001Z info <message>"; `message` is written as
    // given, so texts from peers must be escaped by the caller (escapeControl).
    void write(Level level, const std::string& message);
    void info(const std::string& message) { write(Level::Info, message); }
    void warn(const std::string& message) { write(Level::Warn, message); }
    void error(const std::string& message) { write(Level::Error, message); }

    // Asks for the file to be opened again by its name; safe in a signal
    // handler. The next write, or reopenIfRequested(), does it.
    void requestReopen() noexcept { m_reopenRequested.store(true); }
    // Reopens the file when asked to. When the name cannot be opened the log
    // stays on the file it had and says why there.
    void reopenIfRequested();

private:
    using Stream = std::unique_ptr<FILE, int (*)(FILE*)>;
    ServerLog(Stream stream, std::string file)
        : m_stream(std::move(stream)), m_file(std::move(file)) {}

    void writeLocked(Level level, const std::string& message);
    void reopenLocked();

    std::mutex m_mutex;
    Stream m_stream;
    const std::string m_file;  // empty: standard error, never reopened
    std::atomic<bool> m_reopenRequested{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
};

}  // namespace cisrv
