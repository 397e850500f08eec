#include "DirectoryTestSupport.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

namespace tqtest {
namespace {

// The cluster of this test program, started at its first PostgreSQL test by
// `pgcluster.py serve`, which stops and removes it once its standard input
// closes: when this process ends, whether it finished or crashed.
class PostgresServer {
public:
    static PostgresServer& instance() {
        static PostgresServer server;
        return server;
    }
    bool available() const { return !m_parameters.empty(); }
    const std::string& reason() const { return m_reason; }
    std::string uri(const std::string& database) const {
        return "postgresql:///" + database + m_parameters;
    }
    ~PostgresServer() {
        if (m_input >= 0) {
            close(m_input);
        }
        if (m_child > 0) {
            waitpid(m_child, nullptr, 0);
        }
    }
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

private:
    PostgresServer() {
        int toServer[2];
        int fromServer[2];
        if (pipe2(toServer, O_CLOEXEC) != 0 || pipe2(fromServer, O_CLOEXEC) != 0) {
            m_reason = "no pipe";
            return;
        }
        m_child = fork();
        if (m_child == 0) {
            dup2(toServer[0], STDIN_FILENO);
            dup2(fromServer[1], STDOUT_FILENO);
            execlp("python3", "python3", TQ_PGCLUSTER_SCRIPT, "serve", nullptr);
            _exit(127);
        }
        close(toServer[0]);
        close(fromServer[1]);
        m_input = toServer[1];
        std::string line;
        for (char c = 0; read(fromServer[0], &c, 1) == 1 && c != '\n';) {
            line += c;
        }
        close(fromServer[0]);
        if (line.rfind("postgresql:///", 0) == 0 && line.find('?') != std::string::npos) {
            m_parameters = line.substr(line.find('?'));
        } else {
            m_reason = line.empty() ? "the PostgreSQL cluster did not start" : line;
        }
    }

    pid_t m_child = -1;
    int m_input = -1;
    std::string m_parameters;  // "?host=...&port=...&user=..."
    std::string m_reason;
};

std::string databaseNameOf(const std::string& uri) {
    const size_t start = uri.find(":///") + 4;
    return uri.substr(start, uri.find('?') - start);
}

struct Connection {
    explicit Connection(const std::string& uri) : pg(PQconnectdb(uri.c_str())) {}
    ~Connection() { PQfinish(pg); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    bool ok() const { return PQstatus(pg) == CONNECTION_OK; }
    bool run(const std::string& sql) const {
        PGresult* result = PQexec(pg, sql.c_str());
        const ExecStatusType status = PQresultStatus(result);
        PQclear(result);
        return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    }
    PGconn* pg;
};

class SqliteLock : public DirectoryLock {
public:
    explicit SqliteLock(const std::string& path) {
        EXPECT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &m_db));
        EXPECT_EQ(SQLITE_OK, sqlite3_exec(m_db,
                                          "PRAGMA locking_mode = EXCLUSIVE;"
                                          "BEGIN EXCLUSIVE;"
                                          "UPDATE cells SET number = number;",
                                          nullptr, nullptr, nullptr));
    }
    ~SqliteLock() override { release(); }
    void release() override {
        if (m_db != nullptr) {
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(m_db);
            m_db = nullptr;
        }
    }

private:
    sqlite3* m_db = nullptr;
};

class PostgresLock : public DirectoryLock {
public:
    explicit PostgresLock(const std::string& uri)
        : m_connection(std::make_unique<Connection>(uri)) {
        EXPECT_TRUE(m_connection->run(
            "BEGIN; LOCK TABLE cells, clients, applications, clouds, cloud_members,"
            " client_engines, application_engines IN ACCESS EXCLUSIVE MODE"));
    }
    void release() override { m_connection.reset(); }

private:
    std::unique_ptr<Connection> m_connection;
};

std::atomic<int> g_databases{0};

}  // namespace

const char* const DirectoryFixture::kClientHost = "ci-one.example:8400";
const char* const DirectoryFixture::kWideHost = "wide.example:8401";
const char* const DirectoryFixture::kCloudName = "Cloud Seven";

DirectoryFixture::DirectoryFixture(Backend backend)
    : m_backend(backend),
      m_databasePath(
          backend == Backend::Sqlite
              ? m_folder.path() + "/directory.db"
              : PostgresServer::instance().uri("directory_" + std::to_string(++g_databases))),
      m_databasePathSetting(tqappmgr::kDatabasePathEnv, m_databasePath) {}

void DirectoryFixture::SetUp() {
    if (m_backend == Backend::Postgres && !PostgresServer::instance().available()) {
        GTEST_SKIP() << PostgresServer::instance().reason();
    }
}

std::string DirectoryFixture::otherLocation(const std::string& suffix) const {
    if (m_backend == Backend::Sqlite) {
        return m_databasePath + "." + suffix;
    }
    return PostgresServer::instance().uri(databaseNameOf(m_databasePath) + "_" + suffix);
}

bool DirectoryFixture::databaseExists(const std::string& location) const {
    if (m_backend == Backend::Sqlite) {
        return std::filesystem::exists(location);
    }
    const Connection server(PostgresServer::instance().uri("postgres"));
    const std::string name = databaseNameOf(location);
    const char* values[] = {name.c_str()};
    PGresult* result = PQexecParams(server.pg, "SELECT 1 FROM pg_database WHERE datname = $1", 1,
                                    nullptr, values, nullptr, nullptr, 0);
    const bool exists = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1;
    PQclear(result);
    return exists;
}

bool DirectoryFixture::runSql(const std::string& location, const std::string& sql) const {
    if (m_backend == Backend::Sqlite) {
        sqlite3* db = nullptr;
        const bool ok = sqlite3_open(location.c_str(), &db) == SQLITE_OK &&
                        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        return ok;
    }
    if (!databaseExists(location)) {
        const Connection server(PostgresServer::instance().uri("postgres"));
        server.run("CREATE DATABASE " + databaseNameOf(location));
    }
    const Connection connection(location);
    return connection.ok() && connection.run(sql);
}

std::unique_ptr<DirectoryLock> DirectoryFixture::lockDirectory() const {
    if (m_backend == Backend::Sqlite) {
        return std::make_unique<SqliteLock>(m_databasePath);
    }
    return std::make_unique<PostgresLock>(m_databasePath);
}

void DirectoryFixture::createSampleDirectory() {
    const auto directory =
        openWriter(m_databasePath, tqappmgr::DirectoryWriter::Open::CreateIfMissing);
    ASSERT_NE(nullptr, directory);
    // In order: each element of the list is written before the next.
    for (const CYxError& result : {
             directory->addCell(kCell, kCellNumber),
             directory->addCell(kCellWithoutNumber, 0),
             directory->addCell(kMinusOne, kMinusOneCellNumber),
             directory->addClient(kClient, kCell, kClientHost),
             directory->addClient(kClientWithoutHost, kCell, ""),
             directory->addClient(kClientOfOtherCell, kCellWithoutNumber, "other.example"),
             directory->addClient(kWideClient, kCell, kWideHost),
             directory->addClient(kMinusOne, kMinusOne, "minus-one.example"),
             directory->addApplication(kApplication, kCell, kClient, kAppType),
             directory->addApplication(kMinusOne, kMinusOne, kMinusOne, kAppType),
             directory->addCloud(kCloud, kCloudName),
             directory->addCloud(kEmptyCloud, "Empty"),
             directory->addCloud(kThirdCloud, "Third"),
             directory->addCloud(kWideCloud, "Wide"),
             // Members deliberately not in id order: readers must keep stored order.
             directory->addCloudMember(kCloud, kClientWithoutHost, 3),
             directory->addCloudMember(kCloud, kWideClient, 0),
             directory->addCloudMember(kCloud, kClient, 1),
             directory->mapClientEngines(kClient, kAppType, {kEmptyCloud, kThirdCloud, kCloud}),
             directory->mapClientEngines(kClient, kOtherAppType, {kThirdCloud}),
             directory->mapClientEngines(kClient, kWideCloudAppType, {kWideCloud}),
             directory->mapApplicationEngines(kApplication, {kCloud, kThirdCloud}),
             directory->mapApplicationEngines(kMinusOne, {kEmptyCloud}),
         }) {
        EXPECT_TRUE(succeeded(result));
    }
}

std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Sqlite ? "sqlite" : "postgres";
}

::testing::AssertionResult succeeded(const CYxError& result) {
    if (!result.IsError()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << result.AsString();
}

std::unique_ptr<tqappmgr::DirectoryWriter> openWriter(const std::string& location,
                                                      tqappmgr::DirectoryWriter::Open mode) {
    std::unique_ptr<tqappmgr::DirectoryWriter> writer;
    EXPECT_TRUE(succeeded(tqappmgr::DirectoryWriter::open(location, mode, writer))) << location;
    return writer;
}

}  // namespace tqtest
