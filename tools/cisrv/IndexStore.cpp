// The SQLite content index: schema, durability settings and the statements
// behind erases, prunes and searches.
#include "IndexStore.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "ErrorResult.h"
#include "Sqlite.h"

namespace cisrv {

namespace {

// PRAGMA user_version of an index this code created and understands.
constexpr int kSchemaVersion = 1;

constexpr char kSeparator = '/';
// The byte right after the separator: base + "0" ends the range of base + "/...".
constexpr char kAfterSeparator = '0';
static_assert(kAfterSeparator == kSeparator + 1, "subtree ranges rely on '/' + 1 == '0'");

// Documents, their lookups (client data, migrated data, archive files) and the
// full-text index over path and text. The FTS table keeps no copy of the
// text ("external content"): the triggers hand it every insert, delete and
// update of a document, so it never disagrees with the table.
constexpr char kSchema[] = R"sql(
CREATE TABLE documents (
    id              INTEGER PRIMARY KEY AUTOINCREMENT,
    path            TEXT    NOT NULL,
    client_id       INTEGER NOT NULL DEFAULT 0,
    app_type        INTEGER NOT NULL DEFAULT 0,
    application_id  INTEGER NOT NULL DEFAULT 0,
    archive_file_id INTEGER NOT NULL DEFAULT 0,
    cloud_id        INTEGER NOT NULL DEFAULT 0,
    cell_number     INTEGER NOT NULL DEFAULT 0,
    text            TEXT    NOT NULL DEFAULT ''
);
CREATE INDEX documents_by_client ON documents (client_id, app_type, cell_number, path);
CREATE INDEX documents_by_application ON documents (application_id, cell_number, path);
CREATE INDEX documents_by_archive_file ON documents (archive_file_id, cloud_id, cell_number);
CREATE VIRTUAL TABLE documents_fts USING fts5 (path, text, content = 'documents', content_rowid = 'id');
CREATE TRIGGER documents_fts_insert AFTER INSERT ON documents BEGIN
    INSERT INTO documents_fts (rowid, path, text) VALUES (new.id, new.path, new.text);
END;
CREATE TRIGGER documents_fts_delete AFTER DELETE ON documents BEGIN
    INSERT INTO documents_fts (documents_fts, rowid, path, text)
        VALUES ('delete', old.id, old.path, old.text);
END;
CREATE TRIGGER documents_fts_update AFTER UPDATE ON documents BEGIN
    INSERT INTO documents_fts (documents_fts, rowid, path, text)
        VALUES ('delete', old.id, old.path, old.text);
    INSERT INTO documents_fts (rowid, path, text) VALUES (new.id, new.path, new.text);
END;
)sql";

constexpr char kInsert[] =
    "INSERT INTO documents (path, client_id, app_type, application_id, archive_file_id,"
    " cloud_id, cell_number, text) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
constexpr char kCount[] = "SELECT count(*) FROM documents";
constexpr char kSelectColumns[] =
    "SELECT id, path, client_id, app_type, application_id, archive_file_id, cloud_id,"
    " cell_number, text FROM documents WHERE 1";
constexpr char kUnderCondition[] = " AND path >= ?1 AND path < ?2 AND (path = ?1 OR path >= ?3)";
constexpr char kMatchCondition[] =
    " AND id IN (SELECT rowid FROM documents_fts WHERE documents_fts MATCH ?4)";
constexpr char kSearchOrder[] = " ORDER BY id";

using tqsql::DatabasePtr;
using tqsql::Execution;
using tqsql::prepare;
using tqsql::StatementPtr;

using tqcommon::ioError;

CYxError invalidArgument(const std::string& text) {
    return tqcommon::makeError(tqerr::kInvalidArgument, text);
}

CYxError sqlFailure(sqlite3* db, const std::string& what) {
    return ioError(what + ": " + sqlite3_errmsg(db));
}

bool fileExists(const std::string& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0;
}

// Runs a PRAGMA that answers with one value and returns it as text.
CYxError pragmaText(sqlite3* db, const std::string& pragma, std::string& value) {
    StatementPtr statement = prepare(db, "PRAGMA " + pragma, false);
    if (!statement) return sqlFailure(db, "cannot run PRAGMA " + pragma);
    Execution run(statement.get());
    const int rc = run.step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return sqlFailure(db, "PRAGMA " + pragma + " failed");
    value = rc == SQLITE_ROW ? run.text(0) : std::string();
    return CYxError();
}

CYxError configureDurability(sqlite3* db, const StoreOptions& options) {
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, options.busyTimeoutMs);
    std::string mode;
    CYxError status = pragmaText(db, "journal_mode = WAL", mode);
    if (status.IsError()) return status;
    if (mode != "wal")
        return ioError("cannot switch the index to WAL (journal mode " + mode + ")");
    if (options.cacheKiB > 0) {
        status = pragmaText(db, "cache_size = -" + std::to_string(options.cacheKiB), mode);
        if (status.IsError()) return status;
    }
    // FULL: a commit in WAL mode syncs the log before it returns.
    return pragmaText(db, "synchronous = FULL", mode);
}

CYxError exec(sqlite3* db, const char* sql, const std::string& what) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? CYxError()
                                                                         : sqlFailure(db, what);
}

CYxError readSchemaVersion(sqlite3* db, int& version) {
    return tqsql::readSchemaVersion(db, version) ? CYxError()
                                                 : sqlFailure(db, "cannot read the schema version");
}

CYxError hasTables(sqlite3* db, bool& any) {
    StatementPtr statement = prepare(db, "SELECT count(*) FROM sqlite_schema", false);
    if (!statement) return sqlFailure(db, "cannot read the schema");
    Execution run(statement.get());
    if (run.step() != SQLITE_ROW) return sqlFailure(db, "cannot read the schema");
    any = run.integer(0) > 0;
    return CYxError();
}

// Creates the schema in an empty database. The write lock is taken first and
// the version read again, so two processes creating the index at once agree.
CYxError createSchema(sqlite3* db, const std::string& file) {
    CYxError status = exec(db, "BEGIN IMMEDIATE", "cannot lock index " + file);
    if (status.IsError()) return status;
    int version = 0;
    bool anyTables = false;
    status = readSchemaVersion(db, version);
    if (!status.IsError() && version == 0) status = hasTables(db, anyTables);
    if (!status.IsError() && version == 0 && anyTables) {
        status = ioError(file + " is an SQLite database but not a content index");
    }
    if (!status.IsError() && version == 0) {
        status = exec(db, kSchema, "cannot create the index schema in " + file);
        const std::string setVersion = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
        if (!status.IsError()) {
            status = exec(db, setVersion.c_str(), "cannot stamp the schema version");
        }
    }
    if (!status.IsError()) return exec(db, "COMMIT", "cannot commit the index schema");
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return status;
}

CYxError ensureSchema(sqlite3* db, const std::string& file) {
    int version = 0;
    CYxError status = readSchemaVersion(db, version);
    if (status.IsError() || version == kSchemaVersion) return status;
    if (version != 0) {
        return ioError("index " + file + " has schema version " + std::to_string(version) +
                               "; this program reads version " + std::to_string(kSchemaVersion));
    }
    status = createSchema(db, file);
    if (status.IsError()) return status;
    status = readSchemaVersion(db, version);
    if (!status.IsError() && version != kSchemaVersion) {
        return ioError("index " + file + " has schema version " + std::to_string(version));
    }
    return status;
}

Document readDocument(const Execution& row) {
    Document document;
    document.id = row.integer(0);
    document.path = row.text(1);
    document.clientId = row.integer(2);
    document.appType = row.integer(3);
    document.applicationId = row.integer(4);
    document.archiveFileId = row.integer(5);
    document.cloudId = row.integer(6);
    document.cellNumber = row.integer(7);
    document.text = row.text(8);
    return document;
}

}  // namespace

Subtree subtreeOf(const std::string& path) {
    Subtree subtree;
    subtree.base = path;
    while (!subtree.base.empty() && subtree.base.back() == kSeparator) subtree.base.pop_back();
    subtree.firstChild = subtree.base + kSeparator;
    subtree.end = subtree.base + kAfterSeparator;
    return subtree;
}

struct IndexStore::Statements {
    StatementPtr insert;
    StatementPtr count;
    StatementPtr eraseClientData;
    StatementPtr eraseMigratedData;
    StatementPtr prune;

    bool complete() const {
        return insert && count && eraseClientData && eraseMigratedData && prune;
    }
};

IndexStore::IndexStore(sqlite3* db, std::unique_ptr<Statements> statements)
    : m_db(db), m_statements(std::move(statements)) {}

IndexStore::~IndexStore() {
    if (inTransaction()) rollback();
    m_statements.reset();  // statements go before their connection
    sqlite3_close_v2(m_db);
}

CYxError IndexStore::open(const std::string& file, OpenMode mode, const StoreOptions& options,
                        std::unique_ptr<IndexStore>& out) {
    if (file.empty()) return invalidArgument("no index file given");
    if (mode == OpenMode::MustExist && !fileExists(file)) {
        return ioError("index " + file + " does not exist");
    }
    const int flags =
        SQLITE_OPEN_READWRITE | (mode == OpenMode::CreateIfMissing ? SQLITE_OPEN_CREATE : 0);
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
    DatabasePtr db(raw);
    if (rc != SQLITE_OK) {
        return ioError("cannot open index " + file + ": " +
                               (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
    }
    CYxError status = configureDurability(db.get(), options);
    if (!status.IsError()) status = ensureSchema(db.get(), file);
    if (status.IsError()) return ioError("index " + file + ": " + status.AsString());

    auto statements = std::make_unique<Statements>();
    statements->insert = prepare(db.get(), kInsert, true);
    statements->count = prepare(db.get(), kCount, true);
    statements->eraseClientData = prepare(db.get(), indexsql::kEraseClientData, true);
    statements->eraseMigratedData = prepare(db.get(), indexsql::kEraseMigratedData, true);
    statements->prune = prepare(db.get(), indexsql::kPrune, true);
    if (!statements->complete()) return sqlFailure(db.get(), "cannot prepare the index statements");
    out.reset(new IndexStore(db.release(), std::move(statements)));
    return CYxError();
}

CYxError IndexStore::failure(const std::string& what) const { return sqlFailure(m_db, what); }

CYxError IndexStore::execute(const char* sql) { return exec(m_db, sql, sql); }

CYxError IndexStore::add(const Document& document, int64_t& id) {
    if (document.path.empty()) return invalidArgument("a document needs a path");
    Execution run(m_statements->insert.get());
    run.bind(1, document.path)
        .bind(2, document.clientId)
        .bind(3, document.appType)
        .bind(4, document.applicationId)
        .bind(5, document.archiveFileId)
        .bind(6, document.cloudId)
        .bind(7, document.cellNumber)
        .bind(8, document.text);
    if (!run.bound() || run.step() != SQLITE_DONE) return failure("cannot add document");
    id = sqlite3_last_insert_rowid(m_db);
    return CYxError();
}

CYxError IndexStore::search(const SearchFilter& filter,
                          const std::function<void(const Document&)>& each) {
    std::string sql = kSelectColumns;
    if (filter.under) sql += kUnderCondition;
    if (filter.match) sql += kMatchCondition;
    sql += kSearchOrder;
    StatementPtr statement = prepare(m_db, sql, false);
    if (!statement) return failure("cannot prepare the search");
    Execution run(statement.get());
    if (filter.under) {
        const Subtree subtree = subtreeOf(*filter.under);
        run.bind(1, subtree.base).bind(2, subtree.end).bind(3, subtree.firstChild);
    }
    if (filter.match) run.bind(4, *filter.match);
    if (!run.bound()) return failure("cannot bind the search");
    int rc = SQLITE_ROW;
    while ((rc = run.step()) == SQLITE_ROW) each(readDocument(run));
    return rc == SQLITE_DONE ? CYxError() : failure("search failed");
}

CYxError IndexStore::count(int64_t& documents) {
    Execution run(m_statements->count.get());
    if (run.step() != SQLITE_ROW) return failure("cannot count documents");
    documents = run.integer(0);
    return CYxError();
}

CYxError IndexStore::erase(const EraseScope& scope, int64_t& removed) {
    if (scope.path.empty()) return invalidArgument("an erase needs a path");
    const Subtree subtree = subtreeOf(scope.path);
    const bool clientData = scope.owner == EraseScope::Owner::ClientData;
    Execution run(clientData ? m_statements->eraseClientData.get()
                       : m_statements->eraseMigratedData.get());
    // The owner's columns come first, then the cell and the path range.
    int next = 1;
    if (clientData) {
        run.bind(1, scope.clientId).bind(2, scope.appType);
        next = 3;
    } else {
        run.bind(1, scope.applicationId);
        next = 2;
    }
    run.bind(next, scope.cellNumber)
        .bind(next + 1, subtree.base)
        .bind(next + 2, subtree.end)
        .bind(next + 3, subtree.firstChild);
    if (!run.bound() || run.step() != SQLITE_DONE) return failure("erase failed");
    removed = sqlite3_changes64(m_db);
    return CYxError();
}

CYxError IndexStore::prune(const PruneScope& scope, int64_t& removed) {
    Execution run(m_statements->prune.get());
    run.bind(1, scope.archiveFileId).bind(2, scope.cloudId).bind(3, scope.cellNumber);
    if (!run.bound() || run.step() != SQLITE_DONE) return failure("prune failed");
    removed = sqlite3_changes64(m_db);
    return CYxError();
}

CYxError IndexStore::begin() { return execute("BEGIN IMMEDIATE"); }

CYxError IndexStore::commit() { return execute("COMMIT"); }

void IndexStore::rollback() {
    if (inTransaction()) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool IndexStore::inTransaction() const { return sqlite3_get_autocommit(m_db) == 0; }

void IndexStore::setLockWait(std::chrono::milliseconds wait) {
    const auto longest = std::chrono::milliseconds(std::numeric_limits<int>::max());
    const auto bounded = std::clamp(wait, std::chrono::milliseconds::zero(), longest);
    sqlite3_busy_timeout(m_db, static_cast<int>(bounded.count()));
}

}  // namespace cisrv
