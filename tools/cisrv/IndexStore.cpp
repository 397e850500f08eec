// The SQLite content index: schema, durability settings and the statements
// behind erases, prunes and searches.
#include "cisrv/IndexStore.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include "cisrv/IndexSchema.h"
#include "cisrv/ScrubVfs.h"
#include "common/ErrorResult.h"
#include "common/Integer.h"
#include "common/Sqlite.h"

namespace cisrv {

namespace {

constexpr char kSeparator = '/';
// The byte right after the separator: base + "0" ends the range of base + "/...".
constexpr char kAfterSeparator = '0';
static_assert(kAfterSeparator == kSeparator + 1, "subtree ranges rely on '/' + 1 == '0'");

// The full-text table of an index of schema version 1 (one, not sharded).
constexpr char kUnshardedMatch[] =
    " AND id IN (SELECT rowid FROM documents_fts WHERE documents_fts MATCH ?4)";
constexpr char kNextId[] =
    "SELECT coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'documents'), 0) + 1";

constexpr char kInsert[] =
    "INSERT INTO documents (path, client_id, app_type, application_id, archive_file_id,"
    " cloud_id, cell_number, text) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
constexpr char kCount[] = "SELECT count(*) FROM documents";
constexpr char kSelectColumns[] =
    "SELECT id, path, client_id, app_type, application_id, archive_file_id, cloud_id,"
    " cell_number, text FROM documents WHERE 1";
constexpr char kUnderCondition[] = " AND path >= ?1 AND path < ?2 AND (path = ?1 OR path >= ?3)";
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
    if (!statement) {
        return sqlFailure(db, "cannot run PRAGMA " + pragma);
    }
    Execution run(statement.get());
    const int rc = run.step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        return sqlFailure(db, "PRAGMA " + pragma + " failed");
    }
    value = rc == SQLITE_ROW ? run.text(0) : std::string();
    return CYxError();
}

CYxError configure(sqlite3* db, const StoreOptions& options) {
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, options.busyTimeoutMs);
    std::string mode;
    CYxError status = pragmaText(db, "journal_mode = WAL", mode);
    if (status.IsError()) {
        return status;
    }
    if (mode != "wal") {
        return ioError("cannot switch the index to WAL (journal mode " + mode + ")");
    }
    if (options.cacheKiB > 0) {
        status = pragmaText(db, "cache_size = -" + std::to_string(options.cacheKiB), mode);
        if (status.IsError()) {
            return status;
        }
    }
    if (options.erasure) {
        // Deleted cells and freed pages are overwritten with zeros; sorts and
        // temporary tables (VACUUM's copy too) never go to a file; the log
        // shrinks back to kLogSizeLimit when it starts over.
        const std::string pragmas[] = {"secure_delete = ON", "temp_store = MEMORY",
                                       "journal_size_limit = " + std::to_string(kLogSizeLimit)};
        for (const std::string& pragma : pragmas) {
            status = pragmaText(db, pragma, mode);
            if (status.IsError()) {
                return status;
            }
        }
        if (mode != std::to_string(kLogSizeLimit)) {
            return ioError("cannot limit the log's size");
        }
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
    if (!statement) {
        return sqlFailure(db, "cannot read the schema");
    }
    Execution run(statement.get());
    if (run.step() != SQLITE_ROW) {
        return sqlFailure(db, "cannot read the schema");
    }
    any = run.integer(0) > 0;
    return CYxError();
}

// Creates the schema in an empty database, or migrates one of version 1. The
// write lock is taken first and the version read again, so two processes
// opening the index at once agree. `migrated` tells whether it migrated.
CYxError createOrMigrate(sqlite3* db, const std::string& file, bool& migrated) {
    CYxError status = exec(db, "BEGIN IMMEDIATE", "cannot lock index " + file);
    if (status.IsError()) {
        return status;
    }
    int version = 0;
    bool anyTables = false;
    status = readSchemaVersion(db, version);
    if (!status.IsError() && version == 0) {
        status = hasTables(db, anyTables);
    }
    if (!status.IsError() && version == 0 && anyTables) {
        status = ioError(file + " is an SQLite database but not a content index");
    }
    if (!status.IsError() && version == 0) {
        status = schema::create(db);
    }
    if (!status.IsError() && version == schema::kUnshardedVersion) {
        status = schema::migrateFromVersion1(db);
        migrated = !status.IsError();
    }
    if (!status.IsError()) {
        return exec(db, "COMMIT", "cannot commit the index schema");
    }
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    migrated = false;
    return status;
}

std::string megabytes(int64_t bytes) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

std::string secondsSince(std::chrono::steady_clock::time_point start) {
    char text[32];
    (void)std::snprintf(
        text, sizeof text, "%.2f s",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return text;
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
    while (!subtree.base.empty() && subtree.base.back() == kSeparator) {
        subtree.base.pop_back();
    }
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
    StatementPtr nextId;

    bool complete() const {
        return insert && count && eraseClientData && eraseMigratedData && prune && nextId;
    }
};

IndexStore::IndexStore(sqlite3* db, std::unique_ptr<Statements> statements, std::string file)
    : m_db(db), m_statements(std::move(statements)), m_file(std::move(file)) {}

IndexStore::~IndexStore() {
    if (inTransaction()) {
        rollback();
    }
    m_statements.reset();  // statements go before their connection
    sqlite3_close_v2(m_db);
}

CYxError IndexStore::open(const std::string& file, OpenMode mode, const StoreOptions& options,
                          std::unique_ptr<IndexStore>& out) {
    if (file.empty()) {
        return invalidArgument("no index file given");
    }
    if (mode == OpenMode::MustExist && !fileExists(file)) {
        return ioError("index " + file + " does not exist");
    }
    const int flags =
        SQLITE_OPEN_READWRITE | (mode == OpenMode::CreateIfMissing ? SQLITE_OPEN_CREATE : 0);
    const char* vfs = options.erasure ? scrubbingVfs() : nullptr;
    if (options.erasure && vfs == nullptr) {
        return ioError("cannot register the scrubbing VFS");
    }
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &raw, flags, vfs);
    DatabasePtr db(raw);
    if (rc != SQLITE_OK) {
        return ioError("cannot open index " + file + ": " +
                       (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
    }
    int version = 0;
    bool migrated = false;
    const auto started = std::chrono::steady_clock::now();
    CYxError status = configure(db.get(), options);
    if (!status.IsError()) {
        status = readSchemaVersion(db.get(), version);
    }
    const bool migrating = version == schema::kUnshardedVersion && options.migrate;
    if (!status.IsError() && (version == 0 || migrating)) {
        status = createOrMigrate(db.get(), file, migrated);
        if (!status.IsError()) {
            status = readSchemaVersion(db.get(), version);
        }
    }
    if (!status.IsError() && version != schema::kVersion &&
        !(version == schema::kUnshardedVersion && !options.migrate)) {
        status =
            ioError("index " + file + " has schema version " + std::to_string(version) +
                    "; this program reads versions " + std::to_string(schema::kUnshardedVersion) +
                    " and " + std::to_string(schema::kVersion));
    }
    if (status.IsError()) {
        return ioError("index " + file + ": " + status.AsString());
    }

    auto statements = std::make_unique<Statements>();
    statements->insert = prepare(db.get(), kInsert, true);
    statements->count = prepare(db.get(), kCount, true);
    statements->eraseClientData = prepare(db.get(), indexsql::kEraseClientData, true);
    statements->eraseMigratedData = prepare(db.get(), indexsql::kEraseMigratedData, true);
    statements->prune = prepare(db.get(), indexsql::kPrune, true);
    statements->nextId = prepare(db.get(), kNextId, true);
    if (!statements->complete()) {
        return sqlFailure(db.get(), "cannot prepare the index statements");
    }
    std::string pageSizeText;
    int64_t pageSize = 0;
    status = pragmaText(db.get(), "page_size", pageSizeText);
    if (status.IsError()) {
        return status;
    }
    if (!tqcommon::parseInteger(pageSizeText, 512, 65536, pageSize)) {
        return ioError("index " + file + ": unexpected page size " + pageSizeText);
    }
    std::unique_ptr<IndexStore> store(new IndexStore(db.release(), std::move(statements), file));
    store->m_schemaVersion = version;
    store->m_pageSize = pageSize;
    store->m_busyTimeoutMs = options.busyTimeoutMs;
    if (migrated) {
        store->finishMigration(options, started);
    }
    out = std::move(store);
    return CYxError();
}

// What the erases of a version-1 index left goes now: every page rewritten
// and the log emptied. When that cannot be done yet, the whole-file mark
// stays and the server's purge does it.
void IndexStore::finishMigration(const StoreOptions& options,
                                 std::chrono::steady_clock::time_point started) {
    int64_t shards = 0;
    int64_t written = 0;
    int64_t logBytes = 0;
    bool truncated = false;
    CYxError status = shardCount(shards);
    if (!status.IsError()) {
        status = rewriteFile(written);
    }
    if (!status.IsError()) {
        status = truncateLog(std::chrono::milliseconds(options.busyTimeoutMs), truncated, logBytes);
    }
    if (!options.note) {
        return;
    }
    std::string line = "index " + m_file + " migrated from schema version 1 to " +
                       std::to_string(schema::kVersion) + ": the full-text index split into " +
                       std::to_string(shards) + " shards";
    if (status.IsError() || !truncated) {
        line += "; what its earlier erases left is not purged yet (" +
                (status.IsError() ? status.AsString() : std::string("readers hold the log")) +
                "): the server's purge does it";
    } else {
        line += ", every page rewritten to purge what its earlier erases left (" +
                megabytes(written) + " written, log of " + megabytes(logBytes) + " truncated)";
    }
    options.note(line + "; took " + secondsSince(started));
}

CYxError IndexStore::failure(const std::string& what) const { return sqlFailure(m_db, what); }

CYxError IndexStore::execute(const char* sql) { return exec(m_db, sql, sql); }

// Ids only grow (AUTOINCREMENT), so the shard of the next id is the last one
// or a new one; it is added inside a savepoint, so it comes whole or not at
// all, inside or outside the caller's transaction.
CYxError IndexStore::ensureShardForNext() {
    if (m_schemaVersion != schema::kVersion) {
        return CYxError();
    }
    int64_t next = 0;
    {
        Execution run(m_statements->nextId.get());
        if (run.step() != SQLITE_ROW) {
            return failure("cannot read the next document id");
        }
        next = run.integer(0);
    }
    if (schema::shardOf(next) <= m_lastShard) {
        return CYxError();
    }
    std::vector<int64_t> shards;
    CYxError status = schema::shards(m_db, shards);
    if (status.IsError()) {
        return status;
    }
    m_lastShard = shards.empty() ? -1 : shards.back();
    if (schema::shardOf(next) <= m_lastShard) {
        return CYxError();
    }
    status = exec(m_db, "SAVEPOINT add_shard", "cannot add a full-text shard");
    if (status.IsError()) {
        return status;
    }
    status = schema::addShards(m_db, schema::shardOf(next));
    if (status.IsError()) {
        sqlite3_exec(m_db, "ROLLBACK TO add_shard; RELEASE add_shard", nullptr, nullptr, nullptr);
        return status;
    }
    status = exec(m_db, "RELEASE add_shard", "cannot add a full-text shard");
    if (!status.IsError()) {
        m_lastShard = schema::shardOf(next);
    }
    return status;
}

CYxError IndexStore::add(const Document& document, int64_t& id) {
    if (document.path.empty()) {
        return invalidArgument("a document needs a path");
    }
    CYxError status = ensureShardForNext();
    if (status.IsError()) {
        return status;
    }
    Execution run(m_statements->insert.get());
    run.bind(1, document.path)
        .bind(2, document.clientId)
        .bind(3, document.appType)
        .bind(4, document.applicationId)
        .bind(5, document.archiveFileId)
        .bind(6, document.cloudId)
        .bind(7, document.cellNumber)
        .bind(8, document.text);
    if (!run.bound() || run.step() != SQLITE_DONE) {
        return failure("cannot add document");
    }
    id = sqlite3_last_insert_rowid(m_db);
    return CYxError();
}

// While it lives, statements of the store stop (SQLITE_INTERRUPT) once the
// store's read limit has passed.
class IndexStore::ReadDeadline {
public:
    explicit ReadDeadline(IndexStore& store) : m_store(store) {
        if (store.m_readLimit.count() <= 0) {
            return;
        }
        m_end = std::chrono::steady_clock::now() + store.m_readLimit;
        sqlite3_progress_handler(store.m_db, kProgressSteps, &ReadDeadline::passed, this);
    }
    ~ReadDeadline() { sqlite3_progress_handler(m_store.m_db, 0, nullptr, nullptr); }
    ReadDeadline(const ReadDeadline&) = delete;
    ReadDeadline& operator=(const ReadDeadline&) = delete;

    // The failure of a statement, naming the limit when it was the cause.
    CYxError failure(const std::string& what) const {
        if (!m_expired) {
            return m_store.failure(what);
        }
        return ioError(what + ": stopped after " +
                       std::to_string(m_store.m_readLimit.count() / 1000) +
                       " s (--time-limit): a longer read would hold back the purge of erased "
                       "documents");
    }

private:
    static constexpr int kProgressSteps = 1000;
    static int passed(void* self) {
        auto* deadline = static_cast<ReadDeadline*>(self);
        deadline->m_expired = std::chrono::steady_clock::now() > deadline->m_end;
        return deadline->m_expired ? 1 : 0;
    }

    IndexStore& m_store;
    std::chrono::steady_clock::time_point m_end{};
    bool m_expired = false;
};

CYxError IndexStore::search(const SearchFilter& filter,
                            const std::function<void(const Document&)>& each) {
    const ReadDeadline deadline(*this);
    std::string sql = kSelectColumns;
    if (filter.under) {
        sql += kUnderCondition;
    }
    if (filter.match && m_schemaVersion == schema::kVersion) {
        std::vector<int64_t> shards;
        const CYxError listed = schema::shards(m_db, shards);
        if (listed.IsError()) {
            return listed;
        }
        sql += schema::matchCondition(shards, 4);
    } else if (filter.match) {
        sql += kUnshardedMatch;
    }
    sql += kSearchOrder;
    StatementPtr statement = prepare(m_db, sql, false);
    if (!statement) {
        return failure("cannot prepare the search");
    }
    Execution run(statement.get());
    if (filter.under) {
        const Subtree subtree = subtreeOf(*filter.under);
        run.bind(1, subtree.base).bind(2, subtree.end).bind(3, subtree.firstChild);
    }
    if (filter.match) {
        run.bind(4, *filter.match);
    }
    if (!run.bound()) {
        return failure("cannot bind the search");
    }
    int rc = SQLITE_ROW;
    while ((rc = run.step()) == SQLITE_ROW) {
        each(readDocument(run));
    }
    return rc == SQLITE_DONE ? CYxError() : deadline.failure("search failed");
}

CYxError IndexStore::count(int64_t& documents) {
    const ReadDeadline deadline(*this);
    Execution run(m_statements->count.get());
    if (run.step() != SQLITE_ROW) {
        return deadline.failure("cannot count documents");
    }
    documents = run.integer(0);
    return CYxError();
}

CYxError IndexStore::erase(const EraseScope& scope, int64_t& removed) {
    if (scope.path.empty()) {
        return invalidArgument("an erase needs a path");
    }
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
    if (!run.bound() || run.step() != SQLITE_DONE) {
        return failure("erase failed");
    }
    removed = sqlite3_changes64(m_db);
    return CYxError();
}

CYxError IndexStore::prune(const PruneScope& scope, int64_t& removed) {
    Execution run(m_statements->prune.get());
    run.bind(1, scope.archiveFileId).bind(2, scope.cloudId).bind(3, scope.cellNumber);
    if (!run.bound() || run.step() != SQLITE_DONE) {
        return failure("prune failed");
    }
    removed = sqlite3_changes64(m_db);
    return CYxError();
}

CYxError IndexStore::begin() { return execute("BEGIN IMMEDIATE"); }

CYxError IndexStore::commit() { return execute("COMMIT"); }

void IndexStore::rollback() {
    if (inTransaction()) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

bool IndexStore::inTransaction() const { return sqlite3_get_autocommit(m_db) == 0; }

void IndexStore::setLockWait(std::chrono::milliseconds wait) {
    const auto longest = std::chrono::milliseconds(std::numeric_limits<int>::max());
    const auto bounded = std::clamp(wait, std::chrono::milliseconds::zero(), longest);
    m_busyTimeoutMs = static_cast<int>(bounded.count());
    sqlite3_busy_timeout(m_db, m_busyTimeoutMs);
}

int64_t IndexStore::pagesWritten() const {
    int current = 0;
    int highest = 0;
    sqlite3_db_status(m_db, SQLITE_DBSTATUS_CACHE_WRITE, &current, &highest, 0);
    return current;
}

CYxError IndexStore::erasedShards(std::vector<int64_t>& shards) {
    shards.clear();
    if (m_schemaVersion != schema::kVersion) {
        return CYxError();
    }
    StatementPtr statement = prepare(m_db, "SELECT shard FROM erased_shards ORDER BY shard", false);
    if (!statement) {
        return failure("cannot list the erased shards");
    }
    Execution run(statement.get());
    int rc = SQLITE_ROW;
    while ((rc = run.step()) == SQLITE_ROW) {
        shards.push_back(run.integer(0));
    }
    return rc == SQLITE_DONE ? CYxError() : failure("cannot list the erased shards");
}

CYxError IndexStore::rewriteShard(int64_t shard, int64_t& bytesWritten) {
    const int64_t before = pagesWritten();
    CYxError status = begin();
    if (status.IsError()) {
        return status;
    }
    std::vector<int64_t> shards;
    status = schema::shards(m_db, shards);
    const std::string table = schema::shardTable(shard);
    if (!status.IsError() && std::binary_search(shards.begin(), shards.end(), shard)) {
        const std::string optimize =
            "INSERT INTO " + table + " (" + table + ") VALUES ('optimize')";
        status =
            exec(m_db, optimize.c_str(), "cannot rewrite full-text shard " + std::to_string(shard));
    }
    if (!status.IsError()) {
        const std::string done = "DELETE FROM erased_shards WHERE shard = " + std::to_string(shard);
        status = exec(m_db, done.c_str(), "cannot update the erased shards");
    }
    if (!status.IsError()) {
        status = commit();
    }
    if (status.IsError()) {
        rollback();
    }
    bytesWritten = (pagesWritten() - before) * m_pageSize;
    return status;
}

CYxError IndexStore::rewriteFile(int64_t& bytesWritten) {
    const int64_t before = pagesWritten();
    CYxError status = exec(m_db, "VACUUM", "cannot rewrite the index file");
    if (!status.IsError()) {
        const std::string done =
            "DELETE FROM erased_shards WHERE shard = " + std::to_string(schema::kWholeFile);
        status = exec(m_db, done.c_str(), "cannot update the erased shards");
    }
    bytesWritten = (pagesWritten() - before) * m_pageSize;
    return status;
}

CYxError IndexStore::truncateLog(std::chrono::milliseconds wait, bool& truncated,
                                 int64_t& logBytes) {
    truncated = false;
    logBytes = 0;
    const char* log = sqlite3_filename_wal(sqlite3_db_filename(m_db, "main"));
    struct stat info {};
    if (log != nullptr && ::stat(log, &info) == 0) {
        logBytes = info.st_size;
    }
    const auto longest = std::chrono::milliseconds(std::numeric_limits<int>::max());
    sqlite3_busy_timeout(
        m_db,
        static_cast<int>(std::clamp(wait, std::chrono::milliseconds::zero(), longest).count()));
    int inLog = 0;
    int copied = 0;
    const int rc =
        sqlite3_wal_checkpoint_v2(m_db, "main", SQLITE_CHECKPOINT_TRUNCATE, &inLog, &copied);
    sqlite3_busy_timeout(m_db, m_busyTimeoutMs);
    if (rc == SQLITE_OK) {
        truncated = true;
        return CYxError();
    }
    if ((rc & 0xff) == SQLITE_BUSY) {
        return CYxError();
    }
    return failure("cannot truncate the index's write-ahead log");
}

CYxError IndexStore::shards(std::vector<int64_t>& shards) {
    shards.clear();
    if (m_schemaVersion != schema::kVersion) {
        return CYxError();
    }
    return schema::shards(m_db, shards);
}

CYxError IndexStore::shardCount(int64_t& shards) {
    std::vector<int64_t> all;
    const CYxError status = this->shards(all);
    shards = static_cast<int64_t>(all.size());
    return status;
}

}  // namespace cisrv
