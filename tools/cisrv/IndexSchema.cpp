// The index schema: tables, the full-text shards and the triggers that keep
// them in step with the documents.
#include "cisrv/IndexSchema.h"

#include <algorithm>

#include "common/ErrorResult.h"
#include "common/Sqlite.h"

namespace cisrv::schema {

namespace {

// Documents and their lookups (client data, migrated data, archive files);
// the full-text shards there are, and those holding deletions the purge has
// not yet removed (kWholeFile: every page).
constexpr char kTables[] = R"sql(
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
)sql";

constexpr char kShardTables[] = R"sql(
CREATE TABLE fts_shards (shard INTEGER PRIMARY KEY);
CREATE TABLE erased_shards (shard INTEGER PRIMARY KEY);
)sql";

constexpr char kDropTriggers[] = R"sql(
DROP TRIGGER IF EXISTS documents_fts_insert;
DROP TRIGGER IF EXISTS documents_fts_delete;
DROP TRIGGER IF EXISTS documents_fts_update;
)sql";

CYxError execute(sqlite3* db, const std::string& sql, const std::string& what) {
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) {
        return CYxError();
    }
    return tqcommon::ioError(what + ": " + sqlite3_errmsg(db));
}

CYxError readInteger(sqlite3* db, const char* sql, int64_t& value) {
    tqsql::StatementPtr statement = tqsql::prepare(db, sql, false);
    if (!statement) {
        return tqcommon::ioError(std::string("cannot read the index: ") + sqlite3_errmsg(db));
    }
    tqsql::Execution run(statement.get());
    if (run.step() != SQLITE_ROW) {
        return tqcommon::ioError(std::string("cannot read the index: ") + sqlite3_errmsg(db));
    }
    value = run.isNull(0) ? 0 : run.integer(0);
    return CYxError();
}

std::string idsOf(int64_t shard) {
    return "BETWEEN " + std::to_string(shard * kShardSpan) + " AND " +
           std::to_string(shard * kShardSpan + kShardSpan - 1);
}

// One statement per shard, each guarded by the shard's id range: an insert
// of the new values, or a delete of the old ones.
std::string insertInto(const std::vector<int64_t>& all) {
    std::string sql;
    for (const int64_t shard : all) {
        sql += "    INSERT INTO " + shardTable(shard) +
               " (rowid, path, text) SELECT new.id, new.path, new.text WHERE new.id " +
               idsOf(shard) + ";\n";
    }
    return sql;
}

std::string deleteFrom(const std::vector<int64_t>& all) {
    std::string sql;
    for (const int64_t shard : all) {
        const std::string table = shardTable(shard);
        sql += "    INSERT INTO " + table;
        sql += " (" + table + ", rowid, path, text)";
        sql += " SELECT 'delete', old.id, old.path, old.text WHERE old.id " + idsOf(shard) + ";\n";
    }
    return sql + "    INSERT OR IGNORE INTO erased_shards (shard) VALUES (old.id >> " +
           std::to_string(kShardBits) + ");\n";
}

// A document beyond the last shard would have no full-text entry: cisrv adds
// the shard first, other programs are stopped.
std::string refuseBeyond(int64_t last) {
    return "    SELECT RAISE(ABORT, 'document id beyond the full-text shards: add documents "
           "with cisrv add') WHERE new.id NOT BETWEEN 0 AND " +
           std::to_string(last * kShardSpan + kShardSpan - 1) + ";\n";
}

CYxError createTriggers(sqlite3* db, const std::vector<int64_t>& all) {
    const std::string sql =
        std::string(kDropTriggers) +
        "CREATE TRIGGER documents_fts_insert AFTER INSERT ON documents BEGIN\n" +
        refuseBeyond(all.back()) + insertInto(all) +
        "END;\nCREATE TRIGGER documents_fts_delete AFTER DELETE ON documents BEGIN\n" +
        deleteFrom(all) +
        "END;\nCREATE TRIGGER documents_fts_update AFTER UPDATE ON documents BEGIN\n" +
        refuseBeyond(all.back()) + deleteFrom(all) + insertInto(all) + "END;\n";
    return execute(db, sql, "cannot create the full-text triggers");
}

}  // namespace

std::string shardTable(int64_t shard) { return "documents_fts_" + std::to_string(shard); }

CYxError create(sqlite3* db) {
    CYxError status =
        execute(db, std::string(kTables) + kShardTables, "cannot create the index schema");
    if (!status.IsError()) {
        status = addShards(db, 0);
    }
    if (!status.IsError()) {
        status = execute(db, "PRAGMA user_version = " + std::to_string(kVersion),
                         "cannot stamp the schema version");
    }
    return status;
}

CYxError shards(sqlite3* db, std::vector<int64_t>& out) {
    out.clear();
    tqsql::StatementPtr statement =
        tqsql::prepare(db, "SELECT shard FROM fts_shards ORDER BY shard", false);
    if (!statement) {
        return tqcommon::ioError(std::string("cannot list the full-text shards: ") +
                                 sqlite3_errmsg(db));
    }
    tqsql::Execution run(statement.get());
    int rc = SQLITE_ROW;
    while ((rc = run.step()) == SQLITE_ROW) {
        out.push_back(run.integer(0));
    }
    if (rc != SQLITE_DONE) {
        return tqcommon::ioError(std::string("cannot list the full-text shards: ") +
                                 sqlite3_errmsg(db));
    }
    return CYxError();
}

CYxError addShards(sqlite3* db, int64_t last) {
    std::vector<int64_t> all;
    CYxError status = shards(db, all);
    if (status.IsError()) {
        return status;
    }
    const int64_t first = all.empty() ? 0 : all.back() + 1;
    if (first > last) {
        return CYxError();  // nothing new
    }
    for (int64_t shard = first; shard <= last; ++shard) {
        const std::string table = shardTable(shard);
        status =
            execute(db,
                    "CREATE VIRTUAL TABLE " + table +
                        " USING fts5 (path, text, content = 'documents', content_rowid = 'id');"
                        " INSERT INTO fts_shards (shard) VALUES (" +
                        std::to_string(shard) + ");",
                    "cannot create full-text shard " + std::to_string(shard));
        if (status.IsError()) {
            return status;
        }
        all.push_back(shard);
    }
    return createTriggers(db, all);
}

CYxError migrateFromVersion1(sqlite3* db) {
    CYxError status = execute(
        db, std::string(kDropTriggers) + "DROP TABLE IF EXISTS documents_fts;" + kShardTables,
        "cannot replace the full-text index");
    int64_t highest = 0;
    if (!status.IsError()) {
        status =
            readInteger(db,
                        "SELECT max(coalesce((SELECT max(id) FROM documents), 0),"
                        " coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'documents'), 0))",
                        highest);
    }
    if (!status.IsError()) {
        status = addShards(db, shardOf(highest));
    }
    for (int64_t shard = 0; !status.IsError() && shard <= shardOf(highest); ++shard) {
        status = execute(db,
                         "INSERT INTO " + shardTable(shard) +
                             " (rowid, path, text) SELECT id, path, text FROM documents WHERE id " +
                             idsOf(shard),
                         "cannot fill full-text shard " + std::to_string(shard));
    }
    if (!status.IsError()) {
        status = execute(db,
                         "INSERT INTO erased_shards (shard) VALUES (" + std::to_string(kWholeFile) +
                             "); PRAGMA user_version = " + std::to_string(kVersion),
                         "cannot stamp the schema version");
    }
    return status;
}

std::string matchCondition(const std::vector<int64_t>& shards, int parameter) {
    std::string sql = " AND id IN (";
    for (size_t i = 0; i < shards.size(); ++i) {
        const std::string table = shardTable(shards[i]);
        if (i > 0) {
            sql += " UNION ALL ";
        }
        sql += "SELECT rowid FROM " + table;
        sql += " WHERE " + table + " MATCH ?" + std::to_string(parameter);
    }
    return sql + ")";
}

}  // namespace cisrv::schema
