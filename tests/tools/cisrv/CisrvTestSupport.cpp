#include "CisrvTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace cisrv::test {

namespace {

constexpr int64_t kClientWaitMs = 5000;

tqwire::Deadline clientDeadline() { return tqwire::Deadline::afterMs(kClientWaitMs); }

void require(const Status& status) {
    if (!status.isOk()) throw std::runtime_error(status.message());
}

}  // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/cisrv-test-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string readFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::unique_ptr<IndexStore> openIndex(const std::string& file) {
    std::unique_ptr<IndexStore> store;
    require(IndexStore::open(file, OpenMode::CreateIfMissing, StoreOptions(), store));
    return store;
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
    tqwire::HostPort target;
    target.host = "127.0.0.1";
    target.port = port;
    bool timedOut = false;
    return connection.connect(target, clientDeadline(), timedOut);
}

CYxError TestClient::attach(uint16_t port, const std::string& library, const std::string& entry,
                            const std::string& localName) {
    CYxError result = connectOnly(port);
    if (result.IsError()) return result;
    tqwire::Hello hello;
    hello.library = library;
    hello.entry = entry;
    hello.localName = localName;
    bool timedOut = false;
    result = tqwire::sendHello(connection, hello, clientDeadline(), timedOut);
    if (result.IsError()) return result;
    return tqwire::awaitHelloAnswer(connection, clientDeadline(), timedOut);
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
    tqwire::Frame frame;
    bool timedOut = false;
    const CYxError result = connection.receiveFrame(frame, clientDeadline(), timedOut);
    return result.IsError() && !timedOut;
}

InProcessServer::InProcessServer(const TempDir& dir, ServerConfig config)
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

Program::Program(const TempDir& dir, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& extraEnvironment) {
    static std::atomic<int> started{0};
    const std::string tag = std::to_string(++started);
    m_outFile = dir.file("out." + tag);
    m_errFile = dir.file("err." + tag);

    std::vector<std::string> argumentTexts{CISRV_PROGRAM};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argumentTexts) argv.push_back(&text[0]);
    argv.push_back(nullptr);
    std::vector<std::string> environmentTexts(extraEnvironment);
    for (char** entry = environ; *entry != nullptr; ++entry) environmentTexts.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& text : environmentTexts) envp.push_back(&text[0]);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, m_outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, m_errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error(std::string("cannot start cisrv: ") + std::strerror(rc));
}

Program::~Program() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

void Program::signal(int number) {
    if (m_pid > 0) ::kill(m_pid, number);
}

int Program::wait(std::chrono::milliseconds limit) {
    int status = 0;
    const bool ended =
        eventually([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, limit);
    if (!ended) return -1;  // the destructor kills it
    m_pid = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

RunResult runCisrv(const TempDir& dir, const std::vector<std::string>& arguments) {
    Program program(dir, arguments);
    RunResult result;
    result.status = program.wait();
    result.out = program.out();
    result.err = program.err();
    return result;
}

}  // namespace cisrv::test
