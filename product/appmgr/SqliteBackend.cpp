// The directory in a SQLite file on this machine.
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <system_error>

#include "appmgr/ChangeWatch.h"
#include "appmgr/DirectoryBackend.h"
#include "appmgr/DirectorySchema.h"
#include "common/Sqlite.h"

namespace tqappmgr {
namespace {

class SqliteRows : public Rows {
public:
    explicit SqliteRows(tqsql::Execution& execution) : m_execution(execution) {}
    Step step() override {
        switch (m_execution.step()) {
            case SQLITE_ROW: return Step::Row;
            case SQLITE_DONE: return Step::Done;
            default: return Step::Failed;
        }
    }
    bool isNull(int column) const override { return m_execution.isNull(column); }
    int64_t integer(int column) const override { return m_execution.integer(column); }
    std::string text(int column) const override { return m_execution.text(column); }

private:
    tqsql::Execution& m_execution;
};

// The file a path names now (symbolic links followed); {0, 0} when none.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity& other) const {
        return device == other.device && inode == other.inode;
    }
};

FileIdentity identityOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return {};
    }
    return {status.st_dev, status.st_ino};
}

// An open, checked connection with its prepared statements, each prepared
// on first use and kept, and the watch that tells of changes.
class SqliteReader : public ReadBackend {
public:
    SqliteReader(const std::string& path, tqsql::DatabasePtr db, FileIdentity identity)
        : ReadBackend(path), m_db(std::move(db)), m_identity(identity) {
        // Whatever changes after the watch starts raises an event.
        m_watch.start(path);
    }

    CYxError run(Query query, std::initializer_list<int64_t> parameters,
                 const std::function<CYxError(Rows&)>& read) override {
        sqlite3_stmt* statement = prepared(query);
        if (statement == nullptr) {
            return CYxError(tqerr::kIo, nullptr);
        }
        tqsql::Execution execution(statement);
        int index = 0;
        for (const int64_t parameter : parameters) {
            execution.bind(++index, parameter);
        }
        if (!execution.bound()) {
            return CYxError(tqerr::kIo, nullptr);
        }
        SqliteRows rows(execution);
        return read(rows);
    }

    bool reportsChanges() const override { return m_watch.active(); }

    // A file replaced by rename, or deleted, leaves this connection on the
    // old file: after any event, and at every look without a watch, the
    // path must still name the file that was opened.
    Freshness look(bool /*afterPause*/) override {
        if (!m_watch.changedSinceLastLook()) {
            return Freshness::Unchanged;
        }
        return identityOf(location()) == m_identity ? Freshness::Changed : Freshness::Lost;
    }

private:
    sqlite3_stmt* prepared(Query query) {
        tqsql::StatementPtr& slot = m_statements[static_cast<size_t>(query)];
        if (!slot) {
            slot = tqsql::prepare(m_db.get(), kQueryText[static_cast<size_t>(query)], true);
        }
        return slot.get();
    }

    // Declared before the statements, so they are finalised before it closes.
    tqsql::DatabasePtr m_db;
    std::array<tqsql::StatementPtr, kQueryCount> m_statements;
    FileIdentity m_identity;
    ChangeWatch m_watch;
};

CYxError failure(sqlite3* db, const std::string& what) {
    return storeFailure(what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
}

CYxError createParentFolder(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (parent.empty()) {
        return CYxError();
    }
    std::error_code error;
    std::filesystem::create_directories(parent, error);
    if (!std::filesystem::is_directory(parent, error)) {
        return storeFailure("cannot create the folder " + parent.string());
    }
    return CYxError();
}

class SqliteWriter : public WriteBackend {
public:
    explicit SqliteWriter(tqsql::DatabasePtr db) : m_db(std::move(db)) {}

    CYxError execute(const std::string& text, const std::string& what) override {
        if (sqlite3_exec(m_db.get(), text.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            return failure(m_db.get(), what);
        }
        return CYxError();
    }

    CYxError write(const std::string& text, const std::string& what,
                   const std::vector<Value>& parameters) override {
        tqsql::StatementPtr statement;
        CYxError result = prepare(text, statement);
        if (result.IsError()) {
            return result;
        }
        tqsql::Execution execution(statement.get());
        int index = 0;
        for (const Value& value : parameters) {
            std::visit([&](const auto& v) { execution.bind(++index, v); }, value);
        }
        if (!execution.bound() || execution.step() != SQLITE_DONE) {
            return failure(m_db.get(), what);
        }
        return CYxError();
    }

    CYxError forEachRow(
        const std::string& query,
        const std::function<void(const std::vector<std::string>&)>& onRow) override {
        tqsql::StatementPtr statement;
        CYxError result = prepare(query, statement);
        if (result.IsError()) {
            return result;
        }
        tqsql::Execution rows(statement.get());
        std::vector<std::string> columns(static_cast<size_t>(rows.columnCount()));
        int status = rows.step();
        for (; status == SQLITE_ROW; status = rows.step()) {
            for (size_t column = 0; column < columns.size(); ++column) {
                columns[column] = rows.text(static_cast<int>(column));
            }
            onRow(columns);
        }
        return status == SQLITE_DONE ? CYxError() : failure(m_db.get(), "cannot read rows");
    }

    CYxError begin() override { return execute("BEGIN IMMEDIATE", "cannot begin a transaction"); }

    CYxError schemaVersion(int& version) override {
        if (tqsql::readSchemaVersion(m_db.get(), version)) {
            return CYxError();
        }
        if (sqlite3_errcode(m_db.get()) == SQLITE_NOTADB) {
            return notADirectory(std::string(sqlite3_db_filename(m_db.get(), "main")) +
                                 " is not a directory database: not a SQLite file");
        }
        return failure(m_db.get(), "not a readable directory database");
    }

    CYxError isEmpty(bool& empty) override {
        int version = 0;
        CYxError result = schemaVersion(version);
        empty = false;
        if (result.IsError() || version != 0) {
            return result;
        }
        return forEachRow("SELECT count(*) FROM sqlite_schema",
                          [&](const std::vector<std::string>& row) { empty = row[0] == "0"; });
    }

    // WAL lets readers go on while the tool writes; it is a property of the
    // file, so the libraries find it set. It cannot change inside a transaction.
    CYxError prepareNewDatabase() override {
        return execute("PRAGMA journal_mode = WAL", "cannot switch to WAL mode");
    }

    CYxError createSchema() override {
        const CYxError result = execute(std::string(kTablesSql) + kSqliteTriggersSql,
                                        "cannot create the directory tables");
        if (result.IsError()) {
            return result;
        }
        return execute("PRAGMA user_version = " + std::to_string(kSchemaVersion),
                       "cannot set the schema version");
    }

private:
    CYxError prepare(const std::string& text, tqsql::StatementPtr& statement) {
        statement = tqsql::prepare(m_db.get(), text, false);
        return statement ? CYxError() : failure(m_db.get(), "cannot prepare \"" + text + "\"");
    }

    tqsql::DatabasePtr m_db;
};

}  // namespace

std::unique_ptr<ReadBackend> openSqliteReader(const std::string& path) {
    int status = SQLITE_OK;
    // Without SQLITE_OPEN_CREATE: a missing database is an error, never a new
    // empty file. Read-write only so that WAL files can be mapped;
    // query_only keeps the connection from changing anything.
    const FileIdentity identity = identityOf(path);
    tqsql::DatabasePtr db = tqsql::openDatabase(path, SQLITE_OPEN_READWRITE, status);
    if (status != SQLITE_OK) {
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    int version = 0;
    if (sqlite3_exec(db.get(), "PRAGMA query_only = 1", nullptr, nullptr, nullptr) != SQLITE_OK ||
        !tqsql::readSchemaVersion(db.get(), version) || version != kSchemaVersion) {
        return nullptr;
    }
    return std::make_unique<SqliteReader>(path, std::move(db), identity);
}

CYxError openSqliteWriter(const std::string& path, bool create,
                          std::unique_ptr<WriteBackend>& out) {
    if (create) {
        const CYxError folder = createParentFolder(path);
        if (folder.IsError()) {
            return folder;
        }
    }
    int status = SQLITE_OK;
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    tqsql::DatabasePtr db = tqsql::openDatabase(path, flags, status);
    if (status != SQLITE_OK) {
        std::error_code ignored;
        if (!create && !std::filesystem::exists(path, ignored)) {
            return notADirectory("there is no directory database " + path);
        }
        if (std::filesystem::is_directory(path, ignored)) {
            return notADirectory(path + " is a folder, not a directory database file");
        }
        return failure(db.get(), "cannot open the directory database " + path);
    }
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    auto writer = std::make_unique<SqliteWriter>(std::move(db));
    const CYxError result =
        writer->execute("PRAGMA foreign_keys = ON", "cannot enable foreign keys");
    if (!result.IsError()) {
        out = std::move(writer);
    }
    return result;
}

}  // namespace tqappmgr
