// Lookups of the directory classes and archive managers, through one shared
// query-only connection per process.
#include <array>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "Sqlite.h"
#include "TqDirectory.h"

namespace tqdir {
namespace {

enum class Query : size_t {
    Client,
    Application,
    CellNumber,
    Cloud,
    ClientEngines,
    ApplicationEngines,
    Count,
};

constexpr const char* kQueryText[] = {
    "SELECT cell_id, host FROM clients WHERE id = ?1",
    "SELECT cell_id, client_id, app_type FROM applications WHERE id = ?1",
    "SELECT number FROM cells WHERE id = ?1",
    // One statement, so the name and the members come from one snapshot.
    "SELECT c.name, m.client_id, m.properties FROM clouds c"
    " LEFT JOIN cloud_members m ON m.cloud_id = c.id WHERE c.id = ?1 ORDER BY m.position",
    "SELECT cloud_id FROM client_engines WHERE client_id = ?1 AND app_type = ?2"
    " ORDER BY position",
    "SELECT cloud_id FROM application_engines WHERE application_id = ?1 ORDER BY position",
};
constexpr size_t kQueryCount = static_cast<size_t>(Query::Count);
static_assert(sizeof kQueryText / sizeof kQueryText[0] == kQueryCount, "one text per query");

// An open, checked connection to one directory database, with its prepared
// statements, each prepared on first use and kept.
class ReadConnection {
public:
    // Null when the file is missing, is no directory database, or stays
    // locked longer than the busy timeout.
    static std::unique_ptr<ReadConnection> open(const std::string& path) {
        int status = SQLITE_OK;
        // Without SQLITE_OPEN_CREATE: a missing database is an error, never
        // a new empty file. Read-write only so that WAL files can be mapped;
        // query_only keeps the connection from changing anything.
        sql::DatabasePtr db = sql::openDatabase(path, SQLITE_OPEN_READWRITE, status);
        if (status != SQLITE_OK) {
            return nullptr;
        }
        sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
        int version = 0;
        if (sqlite3_exec(db.get(), "PRAGMA query_only = 1", nullptr, nullptr, nullptr) !=
                SQLITE_OK ||
            !sql::readSchemaVersion(db.get(), version) || version != kSchemaVersion) {
            return nullptr;
        }
        return std::unique_ptr<ReadConnection>(new ReadConnection(path, std::move(db)));
    }

    const std::string& path() const { return m_path; }

    // The prepared statement of `query`; null when it cannot be prepared.
    sqlite3_stmt* statement(Query query) {
        sql::StatementPtr& slot = m_statements[static_cast<size_t>(query)];
        if (!slot) {
            slot = sql::prepare(m_db.get(), kQueryText[static_cast<size_t>(query)], true);
        }
        return slot.get();
    }

private:
    ReadConnection(std::string path, sql::DatabasePtr db)
        : m_path(std::move(path)), m_db(std::move(db)) {}

    std::string m_path;
    // Declared before the statements, so they are finalised before it closes.
    sql::DatabasePtr m_db;
    std::array<sql::StatementPtr, kQueryCount> m_statements;
};

// The process's connection. It follows databasePath(): opened on first use,
// reopened when the path changes, and dropped after any failure so that the
// next lookup tries afresh (a database created later is found).
class SharedConnection {
public:
    // Run `body` on a fresh execution of `query`, under the lock.
    template <typename Body>
    Lookup run(Query query, Body&& body) {
        const std::string path = databasePath();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_connection && m_connection->path() != path) {
            m_connection.reset();
        }
        if (!m_connection) {
            m_connection = ReadConnection::open(path);
        }
        Lookup result = Lookup::Failed;
        if (m_connection) {
            result = runPrepared(m_connection->statement(query), body);
        }
        if (result == Lookup::Failed) {
            m_connection.reset();
        }
        return result;
    }

private:
    template <typename Body>
    static Lookup runPrepared(sqlite3_stmt* statement, Body& body) {
        if (statement == nullptr) {
            return Lookup::Failed;
        }
        sql::Execution execution(statement);
        return body(execution);
    }

    std::mutex m_mutex;
    std::unique_ptr<ReadConnection> m_connection;
};

// Never destroyed: a lookup from another thread or from a static destructor
// may still run while the process exits.
SharedConnection& sharedConnection() {
    static auto* const connection = new SharedConnection;
    return *connection;
}

bool inCell(int64_t wantedCellId, int64_t cellId) {
    return wantedCellId == kAnyCell || wantedCellId == cellId;
}

// The first row of a single-row lookup: Found, NotFound or Failed.
Lookup firstRow(sql::Execution& execution) {
    switch (execution.step()) {
        case SQLITE_ROW:
            return Lookup::Found;
        case SQLITE_DONE:
            return Lookup::NotFound;
        default:
            return Lookup::Failed;
    }
}

// Every row's first column; an empty list is a successful answer.
Lookup collectIds(sql::Execution& execution, std::vector<int64_t>& ids) {
    std::vector<int64_t> collected;
    for (int status = execution.step(); status != SQLITE_DONE; status = execution.step()) {
        if (status != SQLITE_ROW) {
            return Lookup::Failed;
        }
        collected.push_back(execution.integer(0));
    }
    ids = std::move(collected);
    return Lookup::Found;
}

}  // namespace

std::string databasePath() {
    const char* configured = std::getenv(kDatabasePathEnv);
    return configured != nullptr && *configured != '\0' ? configured : kDefaultDatabasePath;
}

Lookup findClient(int64_t cellId, int64_t clientId, Client& client) {
    return sharedConnection().run(Query::Client, [&](sql::Execution& row) {
        if (!row.bind(1, clientId)) {
            return Lookup::Failed;
        }
        const Lookup found = firstRow(row);
        if (found != Lookup::Found) {
            return found;
        }
        if (!inCell(cellId, row.integer(0))) {
            return Lookup::NotFound;
        }
        client = Client{clientId, row.integer(0), row.text(1)};
        return Lookup::Found;
    });
}

Lookup findApplication(int64_t cellId, int64_t applicationId, Application& application) {
    return sharedConnection().run(Query::Application, [&](sql::Execution& row) {
        if (!row.bind(1, applicationId)) {
            return Lookup::Failed;
        }
        const Lookup found = firstRow(row);
        if (found != Lookup::Found) {
            return found;
        }
        if (!inCell(cellId, row.integer(0))) {
            return Lookup::NotFound;
        }
        application = Application{applicationId, row.integer(0), row.integer(1), row.integer(2)};
        return Lookup::Found;
    });
}

Lookup findCellNumber(int64_t cellId, int64_t& number) {
    return sharedConnection().run(Query::CellNumber, [&](sql::Execution& row) {
        if (!row.bind(1, cellId)) {
            return Lookup::Failed;
        }
        const Lookup found = firstRow(row);
        if (found == Lookup::Found) {
            number = row.integer(0);
        }
        return found;
    });
}

Lookup findCloud(int64_t cloudId, Cloud& cloud) {
    return sharedConnection().run(Query::Cloud, [&](sql::Execution& rows) {
        if (!rows.bind(1, cloudId)) {
            return Lookup::Failed;
        }
        const Lookup found = firstRow(rows);
        if (found != Lookup::Found) {
            return found;
        }
        Cloud read{cloudId, rows.text(0), {}};
        // A cloud without members yields one row with NULL member columns.
        int status = SQLITE_ROW;
        for (; status == SQLITE_ROW && !rows.isNull(1); status = rows.step()) {
            read.members.push_back(CloudMember{rows.integer(1), rows.integer(2)});
        }
        if (status != SQLITE_ROW && status != SQLITE_DONE) {
            return Lookup::Failed;
        }
        cloud = std::move(read);
        return Lookup::Found;
    });
}

Lookup listClientEngines(int64_t clientId, int64_t appType, std::vector<int64_t>& cloudIds) {
    return sharedConnection().run(Query::ClientEngines, [&](sql::Execution& rows) {
        if (!rows.bind(1, clientId) || !rows.bind(2, appType)) {
            return Lookup::Failed;
        }
        return collectIds(rows, cloudIds);
    });
}

Lookup listApplicationEngines(int64_t applicationId, std::vector<int64_t>& cloudIds) {
    return sharedConnection().run(Query::ApplicationEngines, [&](sql::Execution& rows) {
        if (!rows.bind(1, applicationId)) {
            return Lookup::Failed;
        }
        return collectIds(rows, cloudIds);
    });
}

}  // namespace tqdir
