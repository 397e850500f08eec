// Lookups of the directory classes and archive managers, through one shared
// query-only connection per process.
#include <pthread.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "ChangeWatch.h"
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

// Answers read from the database, by key, while it has not changed: a
// value for a row found, nullopt for a row known to be missing. Bounded, so
// that a huge directory cannot make a long-lived process grow without end.
template <typename Key, typename Value>
class Memo {
public:
    static constexpr size_t kMostAnswers = 4096;

    const std::optional<Value>* find(const Key& key) const {
        const auto found = m_answers.find(key);
        return found == m_answers.end() ? nullptr : &found->second;
    }
    void remember(const Key& key, std::optional<Value> value) {
        if (m_answers.size() >= kMostAnswers) m_answers.clear();
        m_answers.insert_or_assign(key, std::move(value));
    }
    void clear() { m_answers.clear(); }

private:
    std::map<Key, std::optional<Value>> m_answers;
};

struct Answers {
    Memo<int64_t, Client> clients;  // by client id, whatever the cell
    Memo<int64_t, Application> applications;
    Memo<int64_t, int64_t> cellNumbers;
    Memo<int64_t, Cloud> clouds;
    Memo<std::pair<int64_t, int64_t>, std::vector<int64_t>> clientEngines;
    Memo<int64_t, std::vector<int64_t>> applicationEngines;

    void clear() {
        clients.clear();
        applications.clear();
        cellNumbers.clear();
        clouds.clear();
        clientEngines.clear();
        applicationEngines.clear();
    }
};

// Forks seen by this process; a child must not read the parent's change
// events (they would be taken from the parent), so it starts a watch of its own.
std::atomic<unsigned> g_forks{0};
void countForkInChild() { g_forks.fetch_add(1, std::memory_order_relaxed); }

// The process's connection. It follows databasePath(): opened on first use,
// reopened when the path changes, and dropped after any failure so that the
// next lookup tries afresh (a database created later is found).
//
// While the database has not changed, an answer read before is given again
// without a query: a change watch tells, at the cost of one system call,
// whether anything was written since the last lookup. Without a watch every
// lookup queries the database.
class SharedConnection {
public:
    SharedConnection() { (void)pthread_atfork(nullptr, nullptr, countForkInChild); }

    // A lookup by `key`, under the lock: `fetch` reads the answer into a
    // Value from a fresh execution of `query`, unless the answer is known
    // from a lookup since the last change of the database.
    template <typename Key, typename Value, typename Fetch>
    Lookup remembered(Memo<Key, Value> Answers::*memo, const Key& key, Query query, Fetch&& fetch,
                      Value& out) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!ready()) {
            return Lookup::Failed;
        }
        Memo<Key, Value>& answers = m_answers.*memo;
        if (m_watch.active()) {
            if (const std::optional<Value>* known = answers.find(key)) {
                if (!*known) {
                    return Lookup::NotFound;
                }
                out = **known;
                return Lookup::Found;
            }
        }
        Value read{};
        const Lookup result = execute(query, [&](sql::Execution& row) { return fetch(row, read); });
        if (result == Lookup::Failed) {
            return result;
        }
        if (m_watch.active()) {
            answers.remember(key, result == Lookup::Found ? std::optional<Value>(read) : std::nullopt);
        }
        if (result == Lookup::Found) {
            out = std::move(read);
        }
        return result;
    }

private:
    // An open connection to the configured database with answers that are
    // still valid; false when the database cannot be opened.
    bool ready() {
        const char* configured = std::getenv(kDatabasePathEnv);
        const char* path =
            configured != nullptr && *configured != '\0' ? configured : kDefaultDatabasePath;
        if (m_connection && m_connection->path() != path) {
            drop();
        }
        const unsigned forks = g_forks.load(std::memory_order_relaxed);
        if (forks != m_forksSeen) {
            m_forksSeen = forks;
            forgetParentsConnection();
        }
        if (!m_connection) {
            m_connection = ReadConnection::open(path);
            if (!m_connection) {
                return false;
            }
            // Answers are remembered only from here on: whatever changes
            // after the watch starts raises an event.
            m_watch.start(m_connection->path());
            return true;
        }
        if (m_watch.changedSinceLastLook()) {
            m_answers.clear();
        }
        return true;
    }

    template <typename Body>
    Lookup execute(Query query, Body&& body) {
        sqlite3_stmt* statement = m_connection->statement(query);
        Lookup result = Lookup::Failed;
        if (statement != nullptr) {
            sql::Execution execution(statement);
            result = body(execution);
        }
        if (result == Lookup::Failed) {
            drop();
        }
        return result;
    }

    // In a child after fork(): a database connection must not be used, or
    // even closed, across fork(), so the parent's is left behind unclosed
    // (its descriptors close on exec); the child opens its own.
    void forgetParentsConnection() {
        (void)m_connection.release();
        drop();
    }

    void drop() {
        m_watch.stop();
        m_answers.clear();
        m_connection.reset();
    }

    std::mutex m_mutex;
    std::unique_ptr<ReadConnection> m_connection;
    ChangeWatch m_watch;
    Answers m_answers;
    unsigned m_forksSeen = 0;
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

// The fetch of a lookup by `id` whose statement yields at most one row; `read`
// makes the answer of that row.
template <typename Value, typename Read>
auto singleRowById(int64_t id, Read read) {
    return [id, read](sql::Execution& row, Value& out) {
        if (!row.bind(1, id)) {
            return Lookup::Failed;
        }
        const Lookup first = firstRow(row);
        if (first == Lookup::Found) {
            out = read(row);
        }
        return first;
    };
}

// A record by id, remembered whatever its cell; the cell rule is applied to
// every answer, remembered or fresh.
template <typename Record, typename Read>
Lookup rememberedRowInCell(Memo<int64_t, Record> Answers::*memo, Query query, int64_t cellId,
                           int64_t id, Read read, Record& record) {
    Record found;
    const Lookup result = sharedConnection().remembered(
        memo, id, query, singleRowById<Record>(id, read), found);
    if (result != Lookup::Found) {
        return result;
    }
    if (!inCell(cellId, found.cellId)) {
        return Lookup::NotFound;
    }
    record = std::move(found);
    return Lookup::Found;
}

}  // namespace

std::string databasePath() {
    const char* configured = std::getenv(kDatabasePathEnv);
    return configured != nullptr && *configured != '\0' ? configured : kDefaultDatabasePath;
}

Lookup findClient(int64_t cellId, int64_t clientId, Client& client) {
    return rememberedRowInCell(
        &Answers::clients, Query::Client, cellId, clientId,
        [clientId](const sql::Execution& row) {
            return Client{clientId, row.integer(0), row.text(1)};
        },
        client);
}

Lookup findApplication(int64_t cellId, int64_t applicationId, Application& application) {
    return rememberedRowInCell(
        &Answers::applications, Query::Application, cellId, applicationId,
        [applicationId](const sql::Execution& row) {
            return Application{applicationId, row.integer(0), row.integer(1), row.integer(2)};
        },
        application);
}

Lookup findCellNumber(int64_t cellId, int64_t& number) {
    return sharedConnection().remembered(
        &Answers::cellNumbers, cellId, Query::CellNumber,
        singleRowById<int64_t>(cellId, [](const sql::Execution& row) { return row.integer(0); }),
        number);
}

Lookup findCloud(int64_t cloudId, Cloud& cloud) {
    return sharedConnection().remembered(
        &Answers::clouds, cloudId, Query::Cloud,
        [cloudId](sql::Execution& rows, Cloud& out) {
            if (!rows.bind(1, cloudId)) {
                return Lookup::Failed;
            }
            const Lookup first = firstRow(rows);
            if (first != Lookup::Found) {
                return first;
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
            out = std::move(read);
            return Lookup::Found;
        },
        cloud);
}

Lookup listClientEngines(int64_t clientId, int64_t appType, std::vector<int64_t>& cloudIds) {
    return sharedConnection().remembered(
        &Answers::clientEngines, std::make_pair(clientId, appType), Query::ClientEngines,
        [clientId, appType](sql::Execution& rows, std::vector<int64_t>& out) {
            if (!rows.bind(1, clientId) || !rows.bind(2, appType)) {
                return Lookup::Failed;
            }
            return collectIds(rows, out);
        },
        cloudIds);
}

Lookup listApplicationEngines(int64_t applicationId, std::vector<int64_t>& cloudIds) {
    return sharedConnection().remembered(
        &Answers::applicationEngines, applicationId, Query::ApplicationEngines,
        [applicationId](sql::Execution& rows, std::vector<int64_t>& out) {
            if (!rows.bind(1, applicationId)) {
                return Lookup::Failed;
            }
            return collectIds(rows, out);
        },
        cloudIds);
}

}  // namespace tqdir
