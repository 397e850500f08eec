// Lookups of the directory classes and archive managers, through one shared
// query-only connection per process.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "appmgr/DirectoryBackend.h"
#include "appmgr/TqDirectory.h"

namespace tqappmgr {
namespace {

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
        if (m_answers.size() >= kMostAnswers) {
            m_answers.clear();
        }
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

// The answers of a lookup besides success. Neither allocates: the code says it all.
CYxError notFound() { return CYxError(tqerr::kNotFound, nullptr); }
CYxError unavailable() { return CYxError(tqerr::kIo, nullptr); }

// Forks seen by this process; a child must not read the parent's change
// events (they would be taken from the parent), so it starts a watch of its own.
std::atomic<unsigned> g_forks{0};

// $TQ_DIRECTORY_DB, or the default when unset or empty; read at every lookup
// without an allocation.
const char* configuredPath() {
    const char* configured = std::getenv(kDatabasePathEnv);
    return configured != nullptr && *configured != '\0' ? configured : kDefaultDatabasePath;
}
void countForkInChild() { g_forks.fetch_add(1, std::memory_order_relaxed); }

// Commits by writers of this process.
std::atomic<unsigned> g_localCommits{0};

// The process's connection. It follows databasePath(): opened on first use,
// reopened when the location changes or the connection was lost, and dropped
// after any failure so that the next lookup tries afresh (a database created
// later is found).
//
// While the database has not changed, an answer read before is given again
// without a query: the back end tells, at the cost of one system call,
// whether anything was committed since the last lookup. Where it cannot tell
// (no change watch, no notification channel) every lookup queries the database.
//
// Lookups in quick succession (a prune of thousands of archive files looks a
// server's cell up for each) ask the back end at most once per
// kFreshnessWindow, timed by the vDSO clock: a commit is seen by every lookup
// that starts kFreshnessWindow or more after it became visible.

class SharedConnection {
public:
    SharedConnection() { (void)pthread_atfork(nullptr, nullptr, countForkInChild); }

    // A lookup by `key`, under the lock: `fetch` reads the answer into a
    // Value from the rows of `query` run with `parameters`, unless the answer is known
    // from a lookup since the last change of the database.
    template <typename Key, typename Value, typename Fetch>
    CYxError remembered(Memo<Key, Value> Answers::*memo, const Key& key, Query query,
                        std::initializer_list<int64_t> parameters, Fetch&& fetch, Value& out) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!ready()) {
            return unavailable();
        }
        Memo<Key, Value>& answers = m_answers.*memo;
        const bool remember = m_connection->reportsChanges();
        if (remember) {
            if (const std::optional<Value>* known = answers.find(key)) {
                if (!*known) {
                    return notFound();
                }
                out = **known;
                return CYxError();
            }
        }
        Value read{};
        CYxError result = execute(query, parameters, [&](Rows& rows) { return fetch(rows, read); });
        if (isFailure(result)) {
            return result;
        }
        if (remember) {
            answers.remember(key, result.IsError() ? std::nullopt : std::optional<Value>(read));
        }
        if (!result.IsError()) {
            out = std::move(read);
        }
        return result;
    }

private:
    // An open connection to the configured database with answers that are
    // still valid; false when the database cannot be opened.
    bool ready() {
        const char* const path = configuredPath();
        if (m_connection && m_connection->location() != path) {
            drop();
        }
        const unsigned forks = g_forks.load(std::memory_order_relaxed);
        if (forks != m_forksSeen) {
            m_forksSeen = forks;
            forgetParentsConnection();
        }
        if (m_connection) {
            const auto now = std::chrono::steady_clock::now();
            const bool afterPause = now - m_lastLookup > kFreshnessWindow;
            m_lastLookup = now;
            const unsigned localCommits = g_localCommits.load(std::memory_order_acquire);
            if (!afterPause && now - m_lastLook < kFreshnessWindow &&
                localCommits == m_localCommitsSeen) {
                return true;
            }
            m_localCommitsSeen = localCommits;
            m_lastLook = now;
            switch (m_connection->look(afterPause)) {
                case Freshness::Unchanged: return true;
                case Freshness::Changed: m_answers.clear(); return true;
                case Freshness::Lost: drop(); break;
            }
        }
        // Answers are remembered only from here on: whatever changes after
        // the back end opened is reported.
        m_connection = isPostgresLocation(path) ? openPostgresReader(path) : openSqliteReader(path);
        return m_connection != nullptr;
    }

    template <typename Read>
    CYxError execute(Query query, std::initializer_list<int64_t> parameters, Read&& read) {
        CYxError result = m_connection->run(query, parameters, read);
        if (isFailure(result)) {
            drop();
        }
        return result;
    }

    // In a child after fork(): a database connection must not be used, or
    // even closed, across fork() (closing a server connection would end the
    // parent's session), so the parent's is left behind unclosed; the child
    // opens its own.
    void forgetParentsConnection() {
        (void)m_connection.release();
        drop();
    }

    void drop() {
        m_answers.clear();
        m_connection.reset();
        m_lastLook = {};
        m_lastLookup = {};
    }

    std::mutex m_mutex;
    std::unique_ptr<ReadBackend> m_connection;
    Answers m_answers;
    unsigned m_forksSeen = 0;
    std::chrono::steady_clock::time_point m_lastLook;    // when the back end was last asked
    std::chrono::steady_clock::time_point m_lastLookup;  // when a lookup last came
    unsigned m_localCommitsSeen = 0;
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

// The first row of a single-row lookup: success, not found or a failure.
CYxError firstRow(Rows& rows) {
    switch (rows.step()) {
        case Rows::Step::Row: return CYxError();
        case Rows::Step::Done: return notFound();
        case Rows::Step::Failed: break;
    }
    return unavailable();
}

// Every row's first column; an empty list is a successful answer.
CYxError collectIds(Rows& rows, std::vector<int64_t>& ids) {
    std::vector<int64_t> collected;
    for (Rows::Step step = rows.step(); step != Rows::Step::Done; step = rows.step()) {
        if (step != Rows::Step::Row) {
            return unavailable();
        }
        collected.push_back(rows.integer(0));
    }
    ids = std::move(collected);
    return CYxError();
}

// The fetch of a lookup whose statement yields at most one row; `read`
// makes the answer of that row.
template <typename Value, typename Read>
auto singleRow(Read read) {
    return [read](Rows& rows, Value& out) {
        CYxError first = firstRow(rows);
        if (!first.IsError()) {
            out = read(rows);
        }
        return first;
    };
}

// A record by id, remembered whatever its cell; the cell rule is applied to
// every answer, remembered or fresh.
template <typename Record, typename Read>
CYxError rememberedRowInCell(Memo<int64_t, Record> Answers::*memo, Query query, int64_t cellId,
                             int64_t id, Read read, Record& record) {
    Record found;
    CYxError result =
        sharedConnection().remembered(memo, id, query, {id}, singleRow<Record>(read), found);
    if (result.IsError()) {
        return result;
    }
    if (!inCell(cellId, found.cellId)) {
        return notFound();
    }
    record = std::move(found);
    return CYxError();
}

}  // namespace

void noteLocalCommit() { g_localCommits.fetch_add(1, std::memory_order_release); }

std::string databasePath() { return configuredPath(); }

std::string describeDatabasePath() {
    const char* configured = std::getenv(kDatabasePathEnv);
    const bool set = configured != nullptr && *configured != '\0';
    return printableLocation(configuredPath()) +
           (set ? std::string(" (") + kDatabasePathEnv + ")"
                : std::string(" (the default: ") + kDatabasePathEnv + " is unset)");
}

std::string databaseFileProblem() {
    const std::string path = configuredPath();
    if (isPostgresLocation(path) || ::access(path.c_str(), R_OK) == 0) {
        return {};
    }
    const int error = errno;
    return "no readable directory database at " + describeDatabasePath() + ": " +
           std::strerror(error) + "; create one with 'tqdir init', or set " + kDatabasePathEnv;
}

CYxError findClient(int64_t cellId, int64_t clientId, Client& client) {
    return rememberedRowInCell(
        &Answers::clients, Query::Client, cellId, clientId,
        [clientId](const Rows& row) {
            return Client{clientId, row.integer(0), row.text(1)};
        },
        client);
}

CYxError findApplication(int64_t cellId, int64_t applicationId, Application& application) {
    return rememberedRowInCell(
        &Answers::applications, Query::Application, cellId, applicationId,
        [applicationId](const Rows& row) {
            return Application{applicationId, row.integer(0), row.integer(1), row.integer(2)};
        },
        application);
}

CYxError findCellNumber(int64_t cellId, int64_t& number) {
    return sharedConnection().remembered(
        &Answers::cellNumbers, cellId, Query::CellNumber, {cellId},
        singleRow<int64_t>([](const Rows& row) { return row.integer(0); }), number);
}

CYxError findCloud(int64_t cloudId, Cloud& cloud) {
    return sharedConnection().remembered(
        &Answers::clouds, cloudId, Query::Cloud, {cloudId},
        [cloudId](Rows& rows, Cloud& out) {
            CYxError first = firstRow(rows);
            if (first.IsError()) {
                return first;
            }
            Cloud read{cloudId, rows.text(0), {}};
            // A cloud without members yields one row with NULL member columns.
            Rows::Step step = Rows::Step::Row;
            for (; step == Rows::Step::Row && !rows.isNull(1); step = rows.step()) {
                read.members.push_back(CloudMember{rows.integer(1), rows.integer(2)});
            }
            if (step == Rows::Step::Failed) {
                return unavailable();
            }
            out = std::move(read);
            return CYxError();
        },
        cloud);
}

CYxError listClientEngines(int64_t clientId, int64_t appType, std::vector<int64_t>& cloudIds) {
    return sharedConnection().remembered(&Answers::clientEngines, std::make_pair(clientId, appType),
                                         Query::ClientEngines, {clientId, appType}, collectIds,
                                         cloudIds);
}

CYxError listApplicationEngines(int64_t applicationId, std::vector<int64_t>& cloudIds) {
    return sharedConnection().remembered(&Answers::applicationEngines, applicationId,
                                         Query::ApplicationEngines, {applicationId}, collectIds,
                                         cloudIds);
}

}  // namespace tqappmgr
