// Time-stamped log lines with levels, and reopening the log file.
#include "cisrv/ServerLog.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

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

// "session 12: rest" -> 12 and "rest"; -1 when the message names no session.
int64_t sessionOf(const std::string& message, std::string& rest) {
    static const std::string kPrefix = "session ";
    rest = message;
    if (message.compare(0, kPrefix.size(), kPrefix) != 0) {
        return -1;
    }
    size_t end = kPrefix.size();
    int64_t number = 0;
    while (end < message.size() && std::isdigit(static_cast<unsigned char>(message[end])) != 0 &&
           number < INT32_MAX) {
        number = number * 10 + (message[end] - '0');
        ++end;
    }
    if (end == kPrefix.size() || message.compare(end, 2, ": ") != 0) {
        return -1;
    }
    rest = message.substr(end + 2);
    return number;
}

// The kind of a message: its first one or two words of letters ("erase",
// "session started", "connection from"), which carry no values.
std::string eventOf(const std::string& text) {
    constexpr int kWords = 2;
    size_t end = 0;
    size_t kept = 0;
    for (int word = 0; word < kWords; ++word) {
        size_t letters = end;
        while (letters < text.size() &&
               std::isalpha(static_cast<unsigned char>(text[letters])) != 0) {
            ++letters;
        }
        const bool whole = letters > end && (letters == text.size() || text[letters] == ' ' ||
                                             text[letters] == ':' || text[letters] == ',');
        if (!whole) {
            break;
        }
        kept = letters;
        if (letters == text.size() || text[letters] != ' ') {
            break;
        }
        end = letters + 1;
    }
    return text.substr(0, kept);
}

std::string jsonLine(const std::string& time, ServerLog::Level level, const std::string& message) {
    std::string text;
    const int64_t session = sessionOf(message, text);
    nlohmann::ordered_json line = {{"time", time},
                                   {"level", levelName(level)},
                                   {"session", nullptr},
                                   {"event", eventOf(text)},
                                   {"fields", {{"text", text}}}};
    if (session >= 0) {
        line["session"] = session;
    }
    // Peers' texts are escaped to ASCII before they reach the log; a stray
    // byte that is not UTF-8 must still not cost the line.
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
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
    const std::string line = formatLine(m_format, timeStamp(), level, message);
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

std::string formatLine(ServerLog::Format format, const std::string& time, ServerLog::Level level,
                       const std::string& message) {
    if (format == ServerLog::Format::Json) {
        return jsonLine(time, level, message);
    }
    return time + " " + levelName(level) + " " + message + "\n";
}

std::string secondsText(int64_t milliseconds) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%g s", static_cast<double>(milliseconds) / 1000);
    return text;
}

}  // namespace cisrv
