// The content index of the CI server: documents in an SQLite database, their
// path and text also in a full-text index kept in step by triggers (the
// schema: IndexSchema.h). An IndexStore is one database connection, used by
// one thread at a time. What erases leave in the files is removed by the
// purge steps below, which the Purger schedules.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "YxError.h"

struct sqlite3;
struct sqlite3_stmt;

namespace cisrv {

struct Document {
    int64_t id = 0;
    std::string path;
    int64_t clientId = 0;
    int64_t appType = 0;
    int64_t applicationId = 0;
    int64_t archiveFileId = 0;
    int64_t cloudId = 0;
    int64_t cellNumber = 0;
    std::string text;
};

// A path and everything below it as a directory, as bounds of a byte-wise
// range: `base` (the path without trailing '/'), then every path in
// [base + "/", base + "0"). '0' is the byte after '/', so the range holds
// exactly the paths that continue `base` with a '/'; no pattern matching is
// involved, so no character of a path has a special meaning.
struct Subtree {
    std::string base;
    std::string firstChild;  // base + "/"
    std::string end;         // base + "0"
};
Subtree subtreeOf(const std::string& path);

// The documents an erase request removes, all within one cell.
struct EraseScope {
    enum class Owner {
        ClientData,    // backed-up and RuRizoze data: client id and app type
        MigratedData,  // migrated data: application id
    };
    Owner owner = Owner::ClientData;
    int64_t clientId = 0;
    int64_t appType = 0;
    int64_t applicationId = 0;
    int64_t cellNumber = 0;
    std::string path;
};

// The documents of one archive file as one cloud indexed it, in one cell.
struct PruneScope {
    int64_t archiveFileId = 0;
    int64_t cloudId = 0;
    int64_t cellNumber = 0;
};

struct SearchFilter {
    std::optional<std::string> match;  // an FTS5 query on path and text
    std::optional<std::string> under;  // a path and everything below it
};

enum class OpenMode { CreateIfMissing, MustExist };

struct StoreOptions {
    // How long a statement waits for another connection's write lock.
    int busyTimeoutMs = 10000;
    // Pages this connection keeps in memory, in KiB (0: SQLite's default).
    // Bulk loads need a cache that holds the indexes they change at random
    // places, or each transaction writes the same pages again and again.
    int64_t cacheKiB = 0;
    // Erased documents leave no bytes behind in the database file: PRAGMA
    // secure_delete, pages written through the scrubbing VFS (ScrubVfs.h),
    // temporary tables and sorts in memory, a write-ahead log cut back to
    // kLogSizeLimit. Off only to measure what it costs (--purge-within off).
    bool erasure = true;
    // Turns an index of schema version 1 or 2 into the current one (and
    // purges what the erases of version 1 left) when it is opened; without
    // it such an index is used as it is (a read-only server changes nothing).
    bool migrate = true;
    // Told, one line each, what opening did beyond the ordinary (a migration).
    std::function<void(const std::string&)> note;
};

// Bytes the write-ahead log keeps when it starts over after a checkpoint.
inline constexpr int64_t kLogSizeLimit = int64_t{16} << 20;

class IndexStore {
public:
    // Opens (and when needed creates) the index in `file`; WAL journal,
    // synchronous=FULL so every commit is durable when it returns.
    static CYxError open(const std::string& file, OpenMode mode, const StoreOptions& options,
                         std::unique_ptr<IndexStore>& out);
    ~IndexStore();
    IndexStore(const IndexStore&) = delete;
    IndexStore& operator=(const IndexStore&) = delete;

    CYxError add(const Document& document, int64_t& id);
    // Calls `each` for every matching document, in id order.
    CYxError search(const SearchFilter& filter, const std::function<void(const Document&)>& each);
    CYxError count(int64_t& documents);
    CYxError erase(const EraseScope& scope, int64_t& removed);
    CYxError prune(const PruneScope& scope, int64_t& removed);

    // An explicit transaction that holds the write lock from its start.
    CYxError begin();
    CYxError commit();
    void rollback();
    // False also after SQLite rolled a transaction back on its own (after
    // some I/O, full-disk or out-of-memory errors).
    bool inTransaction() const;
    // How long the following statements wait for another connection's write
    // lock, instead of the busy timeout the store was opened with.
    void setLockWait(std::chrono::milliseconds wait);

    // The purge: each step runs outside any transaction of the caller.
    // Full-text shards holding deletions not yet purged, in order
    // (schema::kWholeFile first when every page must be rewritten).
    CYxError erasedShards(std::vector<int64_t>& shards);
    // Rewrites one full-text shard (FTS5 'optimize': its segments merged into
    // one, deleted entries and delete markers dropped) and takes it off the
    // list, in one transaction. `bytesWritten`: pages written to the log.
    CYxError rewriteShard(int64_t shard, int64_t& bytesWritten);
    // Rewrites every page (VACUUM) and takes schema::kWholeFile off the list.
    CYxError rewriteFile(int64_t& bytesWritten);
    // Copies the write-ahead log into the database and cuts it to zero bytes
    // (checkpoint TRUNCATE), waiting up to `wait` for readers still on older
    // snapshots. `truncated` false: readers held it back (try again later).
    // `logBytes`: the log's size before.
    CYxError truncateLog(std::chrono::milliseconds wait, bool& truncated, int64_t& logBytes);
    // The full-text shards there are, in order.
    CYxError shards(std::vector<int64_t>& shards);
    CYxError shardCount(int64_t& shards);
    // search() and count() stop after `limit` (0: no limit) and fail: a read
    // holds its snapshot, which keeps the purge from truncating the log.
    void setReadLimit(std::chrono::milliseconds limit) { m_readLimit = limit; }
    const std::string& file() const { return m_file; }

private:
    struct Statements;
    IndexStore(sqlite3* db, std::unique_ptr<Statements> statements, std::string file);
    CYxError execute(const char* sql);
    CYxError failure(const std::string& what) const;
    // Adds the full-text shard the next document goes into when missing.
    CYxError ensureShardForNext();
    CYxError mergeFilledShard(int64_t shard);
    void finishMigration(int from, const StoreOptions& options,
                         std::chrono::steady_clock::time_point started);
    int64_t pagesWritten() const;

    sqlite3* m_db;
    std::unique_ptr<Statements> m_statements;
    const std::string m_file;
    int m_schemaVersion = 0;
    int64_t m_lastShard = -1;
    int64_t m_pageSize = 4096;
    int m_busyTimeoutMs = 0;
    std::chrono::milliseconds m_readLimit{0};
    class ReadDeadline;
};

// The statements that select what an erase or a prune removes; each is an
// index range lookup, never a scan of the table.
namespace indexsql {
inline constexpr char kEraseClientData[] =
    "DELETE FROM documents WHERE client_id = ?1 AND app_type = ?2 AND cell_number = ?3"
    " AND path >= ?4 AND path < ?5 AND (path = ?4 OR path >= ?6)";
inline constexpr char kEraseMigratedData[] =
    "DELETE FROM documents WHERE application_id = ?1 AND cell_number = ?2"
    " AND path >= ?3 AND path < ?4 AND (path = ?3 OR path >= ?5)";
inline constexpr char kPrune[] =
    "DELETE FROM documents WHERE archive_file_id = ?1 AND cloud_id = ?2 AND cell_number = ?3";
}  // namespace indexsql

}  // namespace cisrv
