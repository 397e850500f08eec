// The server's own log: one line per event, with a UTC time stamp and a
// level, written whole and flushed, from any thread. A log written to a file
// can be reopened on request (SIGHUP), so that log rotation can move the
// file away and have the server write to a new one.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "YxError.h"

namespace cisrv {

class ServerLog {
public:
    enum class Level { Info, Warn, Error };
    // Text: "TIME LEVEL MESSAGE". Json: one object a line for log shippers,
    // {"time":..,"level":..,"session":N|null,"event":..,"fields":{"text":..}}:
    // the session number lifted out of "session N: ", the event the leading
    // words of the message ("session started", "erase", "purge"), the text the
    // message without the session.
    enum class Format { Text, Json };

    // Appends to `file`, creating it when missing.
    static CYxError open(const std::string& file, std::unique_ptr<ServerLog>& out);
    static std::unique_ptr<ServerLog> toStandardError();

    // Before the first line.
    void setFormat(Format format) { m_format = format; }

    ServerLog(const ServerLog&) = delete;
    ServerLog& operator=(const ServerLog&) = delete;

    // "2026-01-05T10:00:00.001Z info <message>"; `message` is written as
    // given, so texts from peers must be escaped by the caller (escapeControl).
    void write(Level level, const std::string& message);
    void info(const std::string& message) { write(Level::Info, message); }
    void warn(const std::string& message) { write(Level::Warn, message); }
    void error(const std::string& message) { write(Level::Error, message); }

    // Asks every log of the process to open its file again by its name; safe
    // in a signal handler. Each log does it at its next write or
    // reopenIfRequested().
    static void requestReopen() noexcept { s_reopenRequests.fetch_add(1); }
    // Reopens the file when asked to since it was opened. When the name
    // cannot be opened the log stays on the file it had and says why there.
    void reopenIfRequested();

private:
    using Stream = std::unique_ptr<FILE, int (*)(FILE*)>;
    ServerLog(Stream stream, std::string file)
        : m_stream(std::move(stream)),
          m_file(std::move(file)),
          m_reopens(s_reopenRequests.load()) {}

    bool reopenRequested() const { return s_reopenRequests.load() != m_reopens.load(); }

    void writeLocked(Level level, const std::string& message);
    void reopenLocked();

    std::mutex m_mutex;
    Stream m_stream;
    const std::string m_file;  // empty: standard error, never reopened
    Format m_format = Format::Text;
    // Requests so far, and how many this log has carried out.
    static inline std::atomic<unsigned> s_reopenRequests{0};
    static_assert(std::atomic<unsigned>::is_always_lock_free, "counted in a signal handler");
    std::atomic<unsigned> m_reopens;
};

// One line of the log, its newline included.
std::string formatLine(ServerLog::Format format, const std::string& time, ServerLog::Level level,
                       const std::string& message);

// A duration as log lines give it: "600 s", "0.5 s".
std::string secondsText(int64_t milliseconds);

}  // namespace cisrv
