// The two stores a directory can live in, behind one interface: a SQLite
// file on this machine, or a PostgreSQL database that many machines share.
// The tables, the queries and the answers are the same; what differs is how a
// connection is opened, how a query runs and how a reader learns of changes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "appmgr/TqDirectory.h"

namespace tqappmgr {

// A PostgreSQL connection URI ("postgresql://..." or "postgres://...");
// anything else names a SQLite file.
bool isPostgresLocation(const std::string& location);

// The location as it may be shown in a message: a URI without its password.
std::string printableLocation(const std::string& location);

// ---- reading ---------------------------------------------------------------

enum class Query : size_t {
    Client,
    Application,
    CellNumber,
    Cloud,
    ClientEngines,
    ApplicationEngines,
    Count,
};
constexpr size_t kQueryCount = static_cast<size_t>(Query::Count);

// Parameters are written ?1, ?2...; the PostgreSQL back end turns them into $1, $2.
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
static_assert(sizeof kQueryText / sizeof kQueryText[0] == kQueryCount, "one text per query");

// The rows of one query, read front to back.
class Rows {
public:
    enum class Step { Row, Done, Failed };
    virtual ~Rows() = default;
    virtual Step step() = 0;
    // Columns of the current row count from 0.
    virtual bool isNull(int column) const = 0;
    virtual int64_t integer(int column) const = 0;
    virtual std::string text(int column) const = 0;
};

// What a reader knows of the directory since its previous look.
enum class Freshness {
    Unchanged,  // nothing was committed: remembered answers hold
    Changed,    // something may have been committed: read again
    Lost,       // the connection no longer reaches the directory: open a new one
};

// One query-only connection to a directory.
// Lookups closer together than this (a loop over many elements) form a
// burst: the back end is asked whether anything changed at most once per
// window during one, and a change is seen by lookups that start one window
// after it became visible.
constexpr std::chrono::microseconds kFreshnessWindow{1000};

// Called after a writer of this process committed: the next lookup in this
// process asks the back end at once, so a process sees its own changes
// without the window's delay.
void noteLocalCommit();

class ReadBackend {
public:
    virtual ~ReadBackend() = default;
    const std::string& location() const { return m_location; }

    // Runs `query` with `parameters` and lets `read` walk its rows. A
    // failure (isFailure) when the query cannot run; the connection should
    // then be dropped.
    virtual CYxError run(Query query, std::initializer_list<int64_t> parameters,
                         const std::function<CYxError(Rows&)>& read) = 0;
    // True while every change of the directory is reported by look(), so
    // that answers may be remembered in between.
    virtual bool reportsChanges() const = 0;
    // Whether the directory may have changed since the previous call (or
    // since the connection was opened); always Changed or Lost while no
    // changes are reported. `afterPause`: no lookup came in the last
    // kFreshnessWindow, so changes may not have been announced yet.
    virtual Freshness look(bool afterPause) = 0;

protected:
    explicit ReadBackend(std::string location) : m_location(std::move(location)) {}

private:
    std::string m_location;
};

// Null when the directory cannot be reached or is no directory database.
std::unique_ptr<ReadBackend> openSqliteReader(const std::string& path);
std::unique_ptr<ReadBackend> openPostgresReader(const std::string& uri);

// ---- writing ---------------------------------------------------------------

using Value = std::variant<int64_t, std::string>;

// A failure of the directory store: tqerr::kIo with `text`.
CYxError storeFailure(const std::string& text);
// The location holds no directory database: tqerr::kNotADirectory with `text`.
CYxError notADirectory(const std::string& text);

// One read-write connection. Every operation returns its failure, with
// `what` and the database's explanation.
class WriteBackend {
public:
    virtual ~WriteBackend() = default;
    // Statements without parameters, possibly several; no rows.
    virtual CYxError execute(const std::string& sql, const std::string& what) = 0;
    // One statement with parameters ?1, ?2...; no rows.
    virtual CYxError write(const std::string& sql, const std::string& what,
                           const std::vector<Value>& parameters) = 0;
    // One query; each row's columns as text, NULL as "".
    virtual CYxError forEachRow(
        const std::string& query,
        const std::function<void(const std::vector<std::string>&)>& onRow) = 0;
    // Starts a transaction that serialises writers.
    virtual CYxError begin() = 0;
    // 0 for a database without the directory's version mark.
    virtual CYxError schemaVersion(int& version) = 0;
    // True for a database without any table.
    virtual CYxError isEmpty(bool& empty) = 0;
    // Creates the tables and the version mark, inside a transaction.
    virtual CYxError createSchema() = 0;
    // Anything the database needs before the schema's transaction.
    virtual CYxError prepareNewDatabase() { return CYxError(); }
};

CYxError openSqliteWriter(const std::string& path, bool create, std::unique_ptr<WriteBackend>& out);
// With `create`, a missing database is created (a SQLite file and its
// folder; a PostgreSQL database, when the URI's user may create one).
CYxError openPostgresWriter(const std::string& uri, bool create,
                            std::unique_ptr<WriteBackend>& out);

}  // namespace tqappmgr
