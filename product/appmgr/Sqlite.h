// Ownership and use of SQLite handles inside the directory store.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>

namespace tqdir::sql {

struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DatabasePtr = std::unique_ptr<sqlite3, CloseDatabase>;

struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// Open `path` with `flags`; the handle comes back even on failure (it carries
// the error message), and `status` holds SQLite's result code.
DatabasePtr openDatabase(const std::string& path, int flags, int& status);

// Prepare one statement; null on failure. `persistent` tells SQLite the
// statement is kept and reused.
StatementPtr prepare(sqlite3* db, const std::string& text, bool persistent);

// The database's PRAGMA user_version; false when it cannot be read (locked,
// not a database).
bool readSchemaVersion(sqlite3* db, int& version);

// One run of a prepared statement: binds its parameters, steps through its
// rows and resets it at the end, so that the statement can be run again.
class Execution {
public:
    explicit Execution(sqlite3_stmt* statement) : m_statement(statement) {}
    ~Execution() {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
    Execution(const Execution&) = delete;
    Execution& operator=(const Execution&) = delete;

    // Parameters count from 1.
    bool bind(int index, int64_t value) {
        return sqlite3_bind_int64(m_statement, index, value) == SQLITE_OK;
    }
    bool bind(int index, const std::string& text) {
        return sqlite3_bind_text(m_statement, index, text.data(), static_cast<int>(text.size()),
                                 SQLITE_TRANSIENT) == SQLITE_OK;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return sqlite3_step(m_statement); }

    // Columns of the current row count from 0.
    bool isNull(int column) const { return sqlite3_column_type(m_statement, column) == SQLITE_NULL; }
    int64_t integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    std::string text(int column) const;
    int columnCount() const { return sqlite3_column_count(m_statement); }

private:
    sqlite3_stmt* m_statement;
};

}  // namespace tqdir::sql
