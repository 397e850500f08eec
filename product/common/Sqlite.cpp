#include "common/Sqlite.h"

namespace tqsql {

DatabasePtr openDatabase(const std::string& path, int flags, int& status) {
    sqlite3* raw = nullptr;
    status = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    return DatabasePtr(raw);
}

StatementPtr prepare(sqlite3* db, const std::string& text, bool persistent) {
    sqlite3_stmt* raw = nullptr;
    const unsigned int flags = persistent ? SQLITE_PREPARE_PERSISTENT : 0;
    if (sqlite3_prepare_v3(db, text.c_str(), static_cast<int>(text.size() + 1), flags, &raw,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        return nullptr;
    }
    return StatementPtr(raw);
}

bool readSchemaVersion(sqlite3* db, int& version) {
    const StatementPtr statement = prepare(db, "PRAGMA user_version", false);
    if (!statement) {
        return false;
    }
    Execution query(statement.get());
    if (query.step() != SQLITE_ROW) {
        return false;
    }
    version = static_cast<int>(query.integer(0));
    return true;
}

std::string Execution::text(int column) const {
    const unsigned char* value = sqlite3_column_text(m_statement, column);
    if (value == nullptr) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(value),
                       static_cast<size_t>(sqlite3_column_bytes(m_statement, column)));
}

}  // namespace tqsql
