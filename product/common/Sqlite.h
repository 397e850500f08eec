// Ownership and use of SQLite handles: the connection and its prepared
// statements as owned pointers, and one run of a statement as a scope that
// resets it for the next run.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "common/Owned.h"

namespace tqsql {

using DatabasePtr = tqcommon::Owned<sqlite3, sqlite3_close_v2>;
using StatementPtr = tqcommon::Owned<sqlite3_stmt, sqlite3_finalize>;

// Opens `path` with `flags`; the handle comes back even on failure (it carries
// the error message; null only when SQLite had no memory for it), and
// `status` holds SQLite's result code.
DatabasePtr openDatabase(const std::string& path, int flags, int& status);

// Prepares one statement; null on failure. `persistent` tells SQLite the
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

    // Parameters count from 1. A failed bind is remembered: bound() tells
    // whether every bind so far succeeded.
    Execution& bind(int index, int64_t value) {
        return remember(sqlite3_bind_int64(m_statement, index, value));
    }
    Execution& bind(int index, const std::string& text) {
        return remember(sqlite3_bind_text(m_statement, index, text.data(),
                                          static_cast<int>(text.size()), SQLITE_TRANSIENT));
    }
    bool bound() const { return m_bound; }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return sqlite3_step(m_statement); }

    // Columns of the current row count from 0.
    bool isNull(int column) const {
        return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
    }
    int64_t integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    std::string text(int column) const;
    int columnCount() const { return sqlite3_column_count(m_statement); }

private:
    Execution& remember(int status) {
        m_bound = m_bound && status == SQLITE_OK;
        return *this;
    }

    sqlite3_stmt* m_statement;
    bool m_bound = true;
};

}  // namespace tqsql
