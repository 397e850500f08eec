// Shared pieces of the CI server tests: index helpers, a client that speaks
// the session protocol, an in-process server and the cisrv program.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ChildProgram.h"
#include "TemporaryFolder.h"
#include "cisrv/IndexStore.h"
#include "cisrv/Server.h"
#include "cisrv/ServerLog.h"
#include "session/TqWire.h"

struct sqlite3;

namespace cisrv::test {

using namespace std::chrono_literals;

using tqtest::ChildProgram;
using tqtest::ProgramRun;
using tqtest::readFile;
using tqtest::TemporaryFolder;

std::unique_ptr<IndexStore> openIndex(const std::string& file);

// Another connection holding the index's write lock until released.
class LockHolder {
public:
    explicit LockHolder(const std::string& file);
    ~LockHolder() { release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    void release();

private:
    sqlite3* m_db = nullptr;
};

// An index in a temporary folder, opened, and a server log beside it.
class IndexAndLogTest : public ::testing::Test {
protected:
    TemporaryFolder dir;
    std::string file = dir.file("index.db");
    std::unique_ptr<IndexStore> store = openIndex(file);
    std::string logFile = dir.file("server.log");
    std::unique_ptr<ServerLog> log = [this] {
        std::unique_ptr<ServerLog> opened;
        EXPECT_FALSE(ServerLog::open(logFile, opened).IsError());
        return opened;
    }();
};
int64_t addDocument(IndexStore& store, const std::string& path, const Document& fields = {});
int64_t countDocuments(const std::string& indexFile);
std::vector<std::string> pathsIn(const std::string& indexFile);

struct EraseFields {
    int32_t cellNumber = 0;
    int32_t clientId = 0;
    int32_t appType = 0;
    std::string path;
    int32_t eraseKind = 0;
};

// A client of the server over tqsession, with generous deadlines.
class TestClient {
public:
    CYxError attach(uint16_t port, const std::string& library = tqmsg::kRemoteIndexLibrary,
                    const std::string& entry = tqmsg::kRemoteIndexEntry,
                    const std::string& localName = "test-host");
    CYxError connectOnly(uint16_t port);
    // Sends an erase and returns the status of its response (-1 on failure).
    int32_t erase(const EraseFields& fields);
    CYxError sendPrune(int64_t archiveFileId, int64_t cloudId, int64_t cellNumber);
    CYxError closeGracefully();
    // Whether the server closed the connection within a few seconds.
    bool seesServerClose();

    tqsession::Connection connection;
    // The handshake version the client offers (2: the server confirms its close).
    uint32_t offeredVersion = tqsession::kHandshakeVersion;
};

// A server running on its own thread, logging to a file, on 127.0.0.1.
class InProcessServer {
public:
    InProcessServer(const TemporaryFolder& dir, ServerConfig config = {});
    ~InProcessServer();
    uint16_t port() const { return m_server->port(); }
    uint64_t commits() const { return m_server->commits(); }
    std::string logText() const { return readFile(m_logFile); }
    const std::string& indexFile() const { return m_indexFile; }

private:
    std::string m_indexFile;
    std::string m_logFile;
    std::unique_ptr<ServerLog> m_log;
    std::unique_ptr<Server> m_server;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The cisrv program with `arguments`, as a command for ChildProgram.
std::vector<std::string> cisrvCommand(const std::vector<std::string>& arguments);
// Runs cisrv to its end.
ProgramRun runCisrv(const TemporaryFolder& dir, const std::vector<std::string>& arguments);

// Polls `condition` until it holds or `limit` passes.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

}  // namespace cisrv::test
