// The content index of the CI server: documents in an SQLite database, their
// path and text also in a full-text index kept in step by triggers.
// An IndexStore is one database connection, used by one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

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
};

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

private:
    struct Statements;
    IndexStore(sqlite3* db, std::unique_ptr<Statements> statements);
    CYxError execute(const char* sql);
    CYxError failure(const std::string& what) const;

    sqlite3* m_db;
    std::unique_ptr<Statements> m_statements;
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
