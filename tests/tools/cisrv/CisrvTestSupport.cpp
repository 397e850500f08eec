#include "CisrvTestSupport.h"

#include <sqlite3.h>

#include <cstring>
#include <stdexcept>

namespace cisrv::test {

namespace {

constexpr int64_t kClientWaitMs = 5000;

tqsession::Deadline clientDeadline() { return tqsession::Deadline::afterMs(kClientWaitMs); }

void require(const CYxError& status) {
    if (status.IsError()) {
        throw std::runtime_error(status.AsString());
    }
}

}  // namespace

std::unique_ptr<IndexStore> openIndex(const std::string& file) {
    std::unique_ptr<IndexStore> store;
    require(IndexStore::open(file, OpenMode::CreateIfMissing, StoreOptions(), store));
    return store;
}

LockHolder::LockHolder(const std::string& file) {
    EXPECT_EQ(sqlite3_open(file.c_str(), &m_db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
}

void LockHolder::release() {
    if (m_db == nullptr) {
        return;
    }
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(m_db);
    m_db = nullptr;
}

int64_t addDocument(IndexStore& store, const std::string& path, const Document& fields) {
    Document document = fields;
    document.path = path;
    int64_t id = 0;
    require(store.add(document, id));
    return id;
}

int64_t countDocuments(const std::string& indexFile) {
    int64_t documents = -1;
    require(openIndex(indexFile)->count(documents));
    return documents;
}

std::vector<std::string> pathsIn(const std::string& indexFile) {
    std::vector<std::string> paths;
    require(openIndex(indexFile)->search(
        SearchFilter(), [&](const Document& document) { paths.push_back(document.path); }));
    return paths;
}

CYxError TestClient::connectOnly(uint16_t port) {
    tqsession::HostPort target;
    target.host = "127.0.0.1";
    target.port = port;
    bool timedOut = false;
    return connection.connect(target, clientDeadline(), timedOut);
}

CYxError TestClient::attach(uint16_t port, const std::string& library, const std::string& entry,
                            const std::string& localName) {
    CYxError result = connectOnly(port);
    if (result.IsError()) {
        return result;
    }
    tqsession::Hello hello;
    hello.library = library;
    hello.entry = entry;
    hello.localName = localName;
    hello.offeredVersion = offeredVersion;
    bool timedOut = false;
    result = tqsession::sendHello(connection, hello, clientDeadline(), timedOut);
    if (result.IsError()) {
        return result;
    }
    return tqsession::awaitHelloAnswer(connection, clientDeadline(), timedOut);
}

int32_t TestClient::erase(const EraseFields& fields) {
    std::string path = fields.path;
    tqmsg::EraseDataReq record{};
    record.vornCellNumber = fields.cellNumber;
    record.clientId = fields.clientId;
    record.appType = fields.appType;
    record.path = &path[0];
    record.eraseKind = fields.eraseKind;
    bool timedOut = false;
    if (connection
            .sendMessage(tqmsg::kEraseDataReq, reinterpret_cast<const char*>(&record),
                         sizeof record + path.size() + 1, clientDeadline(), timedOut)
            .IsError()) {
        return -1;
    }
    uint32_t code = 0;
    uint32_t bodyLength = 0;
    tqsDatabuf_v2 body;
    const CYxError received =
        connection.receiveMessage(code, body, bodyLength, clientDeadline(), timedOut);
    if (received.IsError() || code != tqmsg::kEraseDataResp ||
        body.getValidLen() != sizeof(tqmsg::EraseDataResp)) {
        return -1;
    }
    tqmsg::EraseDataResp response;
    std::memcpy(&response, body.getDataBuffer(), sizeof response);
    return response.status;
}

CYxError TestClient::sendPrune(int64_t archiveFileId, int64_t cloudId, int64_t cellNumber) {
    tqmsg::AfPruneReq record{};
    record.archiveFileId = archiveFileId;
    record.cloudId = cloudId;
    record.vornCellNumber = cellNumber;
    bool timedOut = false;
    return connection.sendMessage(tqmsg::kAfPruneReq, reinterpret_cast<const char*>(&record),
                                  sizeof record, clientDeadline(), timedOut);
}

CYxError TestClient::closeGracefully() {
    bool timedOut = false;
    return connection.closeGracefully(clientDeadline(), timedOut);
}

bool TestClient::seesServerClose() {
    tqsession::Frame frame;
    bool timedOut = false;
    const CYxError result = connection.receiveFrame(frame, clientDeadline(), timedOut);
    return result.IsError() && !timedOut;
}

InProcessServer::InProcessServer(const TemporaryFolder& dir, ServerConfig config)
    : m_indexFile(config.indexFile.empty() ? dir.file("index.db") : config.indexFile),
      m_logFile(dir.file("server.log")) {
    config.indexFile = m_indexFile;
    config.listenAddress = "127.0.0.1";
    config.listenPort = 0;
    require(ServerLog::open(m_logFile, m_log));
    m_server = std::make_unique<Server>(config, *m_log);
    require(m_server->start());
    m_thread = std::thread([this] { m_server->run(m_stop); });
}

InProcessServer::~InProcessServer() {
    m_stop.store(true);
    m_thread.join();
}

std::vector<std::string> cisrvCommand(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{CISRV_PROGRAM};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

ProgramRun runCisrv(const TemporaryFolder& dir, const std::vector<std::string>& arguments) {
    return tqtest::runProgram(dir, cisrvCommand(arguments));
}

}  // namespace cisrv::test
