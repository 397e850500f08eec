#include "Servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "Affinity.h"
#include "RawClient.h"
#include "TqMessages.h"
#include "WireFrames.h"

namespace bench {

namespace {

constexpr auto kStartWait = std::chrono::seconds(20);
constexpr auto kStartPoll = std::chrono::milliseconds(20);
constexpr int kCiClientId = 10;
constexpr int kCiAppType = 33;
constexpr int kCiCellNumber = 4711;
constexpr int kSessionWait = -1;  // the session library's default wait

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

void sqlOrThrow(sqlite3* db, int rc, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE) fail(std::string(what) + ": " + sqlite3_errmsg(db));
}

// A port nothing listens on right now, for servers that take theirs from
// the command line.
uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) ::close(fd);
        fail("no free loopback port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

template <typename Ready>
void waitUntil(ChildProcess& process, const std::string& what, Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + kStartWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return;
        if (!process.running()) fail(what + " exited while starting");
        std::this_thread::sleep_for(kStartPoll);
    }
    fail(what + " did not start within 20 s");
}

}  // namespace

CiServer::CiServer(const std::string& cisrv, const std::string& folder, size_t documents)
    : m_documents(documents), m_log(folder + "/ci.log") {
    const std::string index = folder + "/ci.db";
    const std::string portFile = folder + "/ci.port";
    fillIndex(cisrv, index);
    const ServerCpuScope onServerCpu;
    m_process = std::make_unique<ChildProcess>(
        std::vector<std::string>{cisrv, "serve", "--index", index, "--listen", "127.0.0.1:0",
                                 "--port-file", portFile, "--log", m_log});
    waitUntil(*m_process, "cisrv", [&] {
        std::ifstream in(portFile);
        int port = 0;
        if (!(in >> port) || port <= 0) return false;
        m_port = static_cast<uint16_t>(port);
        return true;
    });
}

std::string CiServer::pathOf(size_t index) { return "/bench/doc-" + std::to_string(index); }

// cisrv creates the index and its schema with its first document; the rest
// go in with one transaction, far faster than one `cisrv add` each.
void CiServer::fillIndex(const std::string& cisrv, const std::string& index) const {
    runProgram({cisrv, "add", "--index", index, "--path", "/bench/seed"});
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(index.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    sqlOrThrow(raw, opened, "cannot open the index");
    sqlOrThrow(raw, sqlite3_exec(raw, "BEGIN", nullptr, nullptr, nullptr), "BEGIN");
    sqlite3_stmt* insert = nullptr;
    sqlOrThrow(raw,
               sqlite3_prepare_v2(raw,
                                  "INSERT INTO documents (path, client_id, app_type, cell_number)"
                                  " VALUES (?1, ?2, ?3, ?4)",
                                  -1, &insert, nullptr),
               "cannot prepare the insert");
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(insert, sqlite3_finalize);
    for (size_t i = 0; i < m_documents; ++i) {
        const std::string path = pathOf(i);
        sqlite3_bind_text(insert, 1, path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 2, kCiClientId);
        sqlite3_bind_int(insert, 3, kCiAppType);
        sqlite3_bind_int(insert, 4, kCiCellNumber);
        sqlOrThrow(raw, sqlite3_step(insert), "cannot insert a document");
        sqlite3_reset(insert);
    }
    sqlOrThrow(raw, sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr), "COMMIT");
}

bool CiServer::takePath(std::string& path) {
    const size_t index = m_taken++;
    if (index >= m_documents) return false;
    path = pathOf(index);
    return true;
}

size_t CiServer::pathsLeft() const {
    const size_t taken = m_taken.load();
    return taken >= m_documents ? 0 : m_documents - taken;
}

size_t CiServer::pathsTaken() const { return std::min(m_taken.load(), m_documents); }

long CiServer::stop() {
    m_process.reset();
    // "... stopped after 3 sessions and 812 index commits"
    std::ifstream log(m_log);
    const std::string marker = " index commits";
    long commits = -1;
    for (std::string line; std::getline(log, line);) {
        const size_t end = line.rfind(marker);
        const size_t start = line.rfind(" and ", end);
        if (end == std::string::npos || start == std::string::npos) continue;
        try {
            commits = std::stol(line.substr(start + 5, end - start - 5));
        } catch (const std::exception&) {
            commits = -1;
        }
    }
    return commits;
}

CiSession::CiSession(uint16_t port) {
    tqwire::HostPort target;
    target.host = "127.0.0.1";
    target.port = port;
    bool timedOut = false;
    const auto deadline = tqwire::Deadline::fromWait(kSessionWait);
    tqsExecuteRemoteDllType service{};
    std::strncpy(service.remoteLibraryName, tqmsg::kRemoteIndexLibrary,
                 sizeof service.remoteLibraryName);
    std::strncpy(service.remoteEntryName, tqmsg::kRemoteIndexEntry,
                 sizeof service.remoteEntryName);
    tqwire::Hello hello;
    CYxError result = tqwire::makeHello(service, "bench", hello);
    if (!result.IsError()) result = m_connection.connect(target, deadline, timedOut);
    if (!result.IsError()) result = tqwire::sendHello(m_connection, hello, deadline, timedOut);
    if (!result.IsError()) result = tqwire::awaitHelloAnswer(m_connection, deadline, timedOut);
    if (result.IsError()) fail("cannot attach to cisrv: " + result.AsString());
}

bool CiSession::erase(const std::string& path) {
    const tqmsg::EraseDataReq record =
        eraseRecord(kCiCellNumber, kCiClientId, kCiAppType, path.c_str());
    const auto deadline = tqwire::Deadline::fromWait(kSessionWait);
    bool timedOut = false;
    CYxError result = m_connection.sendMessage(tqmsg::kEraseDataReq,
                                               reinterpret_cast<const char*>(&record),
                                               sizeof record + path.size() + 1, deadline, timedOut);
    if (result.IsError()) return false;
    tqmsg::EraseDataResp response{};
    m_reply.setExternalBuffer(reinterpret_cast<char*>(&response), sizeof response);
    uint32_t code = 0;
    uint32_t wireLength = 0;
    result = m_connection.receiveMessage(code, m_reply, wireLength, deadline, timedOut);
    const bool confirmed = !result.IsError() && code == tqmsg::kEraseDataResp &&
                           !m_reply.ownsData() && response.status == 1;
    m_reply.reset();
    return confirmed;
}

RedisServer::RedisServer(const std::string& redisServer, const std::string& folder)
    : m_port(freeLoopbackPort()) {
    const ServerCpuScope onServerCpu;
    m_process = std::make_unique<ChildProcess>(std::vector<std::string>{
        redisServer, "--port", std::to_string(m_port), "--bind", "127.0.0.1", "--save", "",
        "--appendonly", "no", "--daemonize", "no", "--dir", folder, "--logfile",
        folder + "/redis.log"});
    const std::string ping = "PING\r\n";
    waitUntil(*m_process, "redis-server", [&] {
        try {
            RawSocket socket(m_port);
            socket.writeAll(ping);
            char pong[7];
            socket.readExactly(pong, sizeof pong);
            return std::memcmp(pong, "+PONG\r\n", sizeof pong) == 0;
        } catch (const std::runtime_error&) {
            return false;
        }
    });
}

double redisPingRate(const std::string& redisBenchmark, uint16_t port, int requests) {
    std::string output;
    runProgram({redisBenchmark, "-h", "127.0.0.1", "-p", std::to_string(port), "-t",
                "ping_inline", "-c", "1", "-P", "1", "-n", std::to_string(requests), "-q"},
               &output);
    return parseRedisRate(output);
}

double parseRedisRate(const std::string& output) {
    // "PING_INLINE: 41152.26 requests per second, p50=0.023 msec"; progress
    // lines before it end in carriage returns.
    const std::string marker = " requests per second";
    const size_t end = output.rfind(marker);
    const size_t start = end == std::string::npos ? end : output.rfind(": ", end);
    if (start == std::string::npos) fail("unexpected redis-benchmark output: " + output);
    const std::string number = output.substr(start + 2, end - start - 2);
    size_t used = 0;
    double rate = 0;
    try {
        rate = std::stod(number, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != number.size() || !(rate > 0)) {
        fail("unexpected redis-benchmark output: " + output);
    }
    return rate;
}

}  // namespace bench
