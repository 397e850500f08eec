#include "Servers.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "TqMessages.h"
#include "WirePeer.h"
#include "common/Integer.h"
#include "common/ProtocolNames.h"
#include "common/Sqlite.h"
#include "session/TqWire.h"

namespace bench {

namespace {

constexpr auto kStartWait = std::chrono::seconds(20);
constexpr auto kStartPoll = std::chrono::milliseconds(20);
constexpr int kSessionWait = -1;  // the session library's default wait

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

void check(const CYxError& result, const std::string& what) {
    if (result.IsError()) {
        fail(what + ": " + result.AsString());
    }
}

template <typename Ready>
void waitUntil(ChildProcess& process, const std::string& what, Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + kStartWait;
    while (!ready()) {
        if (!process.running()) {
            fail(what + " exited while starting");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            fail(what + " did not start within 20 s");
        }
        std::this_thread::sleep_for(kStartPoll);
    }
}

std::string fileText(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The index gets its schema from cisrv with a first document; the others go
// in with one statement, far faster than one `cisrv add` each.
void fillIndex(const std::string& cisrv, const std::string& index, size_t documents) {
    runProgram({cisrv, "add", "--index", index, "--path", "/bench/seed"});
    int opened = SQLITE_OK;
    const tqsql::DatabasePtr db = tqsql::openDatabase(index, SQLITE_OPEN_READWRITE, opened);
    const std::string insert =
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < " +
        std::to_string(documents) +
        ") INSERT INTO documents (path, client_id, app_type, cell_number)"
        " SELECT '/bench/doc-' || i, " +
        std::to_string(kOneServerClient) + ", " + std::to_string(kAppType) + ", " +
        std::to_string(kCellNumber) + " FROM n";
    if (opened != SQLITE_OK ||
        sqlite3_exec(db.get(), insert.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail("cannot fill the index: " + std::string(sqlite3_errmsg(db.get())));
    }
}

}  // namespace

BenchCell::BenchCell() {
    if (::mkdtemp(m_root.data()) == nullptr) {
        fail("cannot create a temporary folder");
    }
    const char* postgres = std::getenv("TQ_BENCH_POSTGRES");
    if (postgres != nullptr) {
        m_postgres = postgres;
    }
    ::setenv("TQ_DIRECTORY_DB", (root() + "/directory.db").c_str(), 1);
    ::setenv("TQ_LOG_DIR", (root() + "/log").c_str(), 1);
    tqdir({"init"});
    tqdir({"add-cell", std::to_string(kCellId), std::to_string(kCellNumber)});
}

BenchCell::~BenchCell() {
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
}

void BenchCell::addCloud(int cloudId, int serverClientId, const std::string& host) {
    tqdir({"add-client", std::to_string(serverClientId), std::to_string(kCellId), host});
    tqdir({"add-cloud", std::to_string(cloudId), "cloud-" + std::to_string(cloudId)});
    tqdir({"add-cloud-member", std::to_string(cloudId), std::to_string(serverClientId), "1"});
}

void BenchCell::addIndexedClient(int clientId, const std::vector<int>& cloudIds) {
    const std::string id = std::to_string(clientId);
    tqdir({"add-client", id, std::to_string(kCellId), "fileserver-" + id + ".example"});
    std::vector<std::string> mapping = {"map-client-engines", id, std::to_string(kAppType)};
    for (int cloud : cloudIds) {
        mapping.push_back(std::to_string(cloud));
    }
    tqdir(mapping);
}

void BenchCell::truncateLogs() const {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(root() + "/log", ignored)) {
        if (entry.is_regular_file(ignored)) {
            std::filesystem::resize_file(entry.path(), 0, ignored);
        }
    }
}

void BenchCell::tqdir(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), programDirectory() + "/tqdir");
    runProgram(arguments);
    if (m_postgres.empty()) {
        return;
    }
    arguments.insert(arguments.begin() + 1, {"--db", m_postgres});
    runProgram(arguments);
}

Session::Session(const std::string& host) {
    tqsExecuteRemoteDllType service = tqcommon::indexService();
    bool timedOut = false;
    check(m_session.Attach_RemoteDLL(host.c_str(), &service, "bench", kSessionWait, timedOut),
          "cannot attach to " + host);
}

bool Session::erase(const std::string& path) {
    tqmsg::EraseDataReq request{};
    request.vornCellNumber = kCellNumber;
    request.clientId = kOneServerClient;
    request.appType = kAppType;
    request.path = const_cast<char*>(path.c_str());
    request.eraseKind = tqmsg::kEraseKindData;
    tqsDatabuf_v2 buffer;
    buffer.setExternalBuffer(reinterpret_cast<char*>(&request), sizeof request + path.size() + 1);
    bool timedOut = false;
    if (m_session.SendXDRMessage(tqmsg::kEraseDataReq, &buffer, 0, kSessionWait, timedOut)
            .IsError()) {
        return false;
    }
    tqmsg::EraseDataResp response{};
    buffer.setExternalBuffer(reinterpret_cast<char*>(&response), sizeof response);
    unsigned long code = tqmsg::kEraseDataResp;
    return !m_session.ReceiveXDRMessage(&code, &buffer, nullptr, 0, kSessionWait, timedOut)
                .IsError() &&
           code == tqmsg::kEraseDataResp && !buffer.ownsData() && response.status == 1;
}

CiServer::CiServer(const std::string& cisrv, const std::string& folder, size_t documents)
    : m_cisrv(cisrv), m_folder(folder), m_documents(documents) {
    fillIndex(cisrv, folder + "/ci.db", documents);
    const std::string portFile = folder + "/ci.port";
    m_process = std::make_unique<ChildProcess>(std::vector<std::string>{
        cisrv, "serve", "--index", folder + "/ci.db", "--listen", "127.0.0.1:0", "--port-file",
        portFile, "--log", folder + "/ci.log"});
    // The port file holds "PORT\n" once the server listens.
    waitUntil(*m_process, "cisrv", [&] {
        const std::string text = fileText(portFile);
        int64_t port = 0;
        if (!tqcommon::parseInteger(std::string_view(text).substr(0, text.find('\n')), 1, 65535,
                                    port, tqcommon::Notation::DigitsOnly)) {
            return false;
        }
        m_port = static_cast<uint16_t>(port);
        return true;
    });
}

std::string CiServer::takePath() {
    const size_t index = m_taken++;
    if (index >= m_documents) {
        fail("the index ran out of documents");
    }
    return "/bench/doc-" + std::to_string(index);
}

std::string CiServer::stop() {
    m_process.reset();  // cisrv commits what it holds and writes its summary
    const size_t erased = std::min(m_taken.load(), m_documents);
    const std::string left = runProgram({m_cisrv, "count", "--index", m_folder + "/ci.db"});
    if (std::stoul(left) != m_documents + 1 - erased) {
        fail("cisrv confirmed " + std::to_string(erased) + " erases but its index holds " + left);
    }
    // "... stopped after 3 sessions and 812 index commits"
    const std::string log = fileText(m_folder + "/ci.log");
    const size_t end = log.rfind(" index commits");
    const size_t start = end == std::string::npos ? end : log.rfind(" and ", end);
    const std::string commits = start == std::string::npos ? "an unknown number of"
                                                           : log.substr(start + 5, end - start - 5);
    return std::to_string(erased) + " erases confirmed in " + commits + " index commits";
}

RedisServer::RedisServer(const std::string& folder) {
    int fd = -1;  // a port free right now: redis-server takes its own from the command line
    check(tqsession::listenTcp("127.0.0.1", 0, fd, m_port), "no free port");
    ::close(fd);
    m_process = std::make_unique<ChildProcess>(
        std::vector<std::string>{"redis-server", "--port", std::to_string(m_port), "--bind",
                                 "127.0.0.1", "--save", "", "--appendonly", "no", "--daemonize",
                                 "no", "--dir", folder, "--logfile", folder + "/redis.log"});
    waitUntil(*m_process, "redis-server", [&] {
        try {
            RawSocket(m_port).exchange("PING\r\n", std::strlen("+PONG\r\n"));
            return true;
        } catch (const std::runtime_error&) {
            return false;
        }
    });
}

double RedisServer::pingRate(int requests) const {
    const std::string output =
        runProgram({"redis-benchmark", "-h", "127.0.0.1", "-p", std::to_string(m_port), "-t",
                    "ping_inline", "-c", "1", "-P", "1", "-n", std::to_string(requests), "-q"});
    // "PING_INLINE: 41152.26 requests per second, p50=0.023 msec"
    const size_t end = output.rfind(" requests per second");
    const size_t start = end == std::string::npos ? end : output.rfind(": ", end);
    const double rate = start == std::string::npos ? 0 : std::atof(output.c_str() + start + 2);
    if (!(rate > 0)) {
        fail("unexpected redis-benchmark output: " + output);
    }
    return rate;
}

}  // namespace bench
