// DirectoryWriter: the read-write side of the directory store.
#include <filesystem>
#include <system_error>

#include "DirectorySchema.h"
#include "Sqlite.h"
#include "TqDirectory.h"

namespace tqdir {
namespace {

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    throw DirectoryError(what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
}

void createParentFolder(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (parent.empty()) {
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(parent, error);
    if (!std::filesystem::is_directory(parent, error)) {
        throw DirectoryError("cannot create the folder " + parent.string());
    }
}

bool hasTables(sqlite3* db) {
    const sql::StatementPtr statement =
        sql::prepare(db, "SELECT count(*) FROM sqlite_schema", false);
    if (!statement) {
        fail(db, "cannot read the database");
    }
    sql::Execution query(statement.get());
    if (query.step() != SQLITE_ROW) {
        fail(db, "cannot read the database");
    }
    return query.integer(0) != 0;
}

}  // namespace

struct DirectoryWriter::Impl {
    sql::DatabasePtr db;

    void exec(const std::string& text, const std::string& what) {
        if (sqlite3_exec(db.get(), text.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail(db.get(), what);
        }
    }

    sql::StatementPtr prepare(const std::string& text) {
        sql::StatementPtr statement = sql::prepare(db.get(), text, false);
        if (!statement) {
            fail(db.get(), "cannot prepare \"" + text + "\"");
        }
        return statement;
    }

    // Run a statement that returns no rows, with integer and text parameters.
    template <typename... Values>
    void write(const std::string& text, const std::string& what, const Values&... values) {
        const sql::StatementPtr statement = prepare(text);
        sql::Execution execution(statement.get());
        int index = 0;
        const bool bound = (execution.bind(++index, values) && ...);
        if (!bound || execution.step() != SQLITE_DONE) {
            fail(db.get(), what);
        }
    }

    int schemaVersion() {
        int version = 0;
        if (!sql::readSchemaVersion(db.get(), version)) {
            fail(db.get(), "not a readable directory database");
        }
        return version;
    }

    bool isEmpty() { return schemaVersion() == 0 && !hasTables(db.get()); }

    // An existing database, ours or not, is left exactly as it is.
    void createSchemaIfEmpty() {
        if (!isEmpty()) {
            return;
        }
        // WAL lets readers go on while the tool writes; it is a property of
        // the file, so the libraries find it set. It cannot change inside a
        // transaction.
        exec("PRAGMA journal_mode = WAL", "cannot switch to WAL mode");
        Transaction transaction(*this);
        if (isEmpty()) {  // again: another init may have come first
            exec(kSchemaSql, "cannot create the directory tables");
            exec("PRAGMA user_version = " + std::to_string(kSchemaVersion),
                 "cannot set the schema version");
        }
        transaction.commit();
    }

    // BEGIN IMMEDIATE ... COMMIT, rolled back when left without commit().
    class Transaction {
    public:
        explicit Transaction(Impl& impl) : m_impl(impl) {
            m_impl.exec("BEGIN IMMEDIATE", "cannot begin a transaction");
        }
        ~Transaction() {
            if (!m_committed) {
                sqlite3_exec(m_impl.db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            }
        }
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit() {
            m_impl.exec("COMMIT", "cannot commit");
            m_committed = true;
        }

    private:
        Impl& m_impl;
        bool m_committed = false;
    };

    // Replace the list that `clearText` deletes with rows of `insertText`,
    // whose last two parameters are the position and the cloud id.
    template <typename... Keys>
    void replaceEngineList(const std::string& clearText, const std::string& insertText,
                           const std::vector<int64_t>& cloudIds, const Keys&... keys) {
        Transaction transaction(*this);
        write(clearText, "cannot clear the engine list", keys...);
        for (size_t position = 0; position < cloudIds.size(); ++position) {
            write(insertText, "cannot map cloud " + std::to_string(cloudIds[position]), keys...,
                  static_cast<int64_t>(position), cloudIds[position]);
        }
        transaction.commit();
    }
};

DirectoryWriter::DirectoryWriter(const std::string& path, Open mode)
    : m_impl(std::make_unique<Impl>()) {
    const bool create = mode == Open::CreateIfMissing;
    if (create) {
        createParentFolder(path);
    }
    int status = SQLITE_OK;
    m_impl->db = sql::openDatabase(
        path, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0), status);
    if (status != SQLITE_OK) {
        std::error_code ignored;
        if (!create && !std::filesystem::exists(path, ignored)) {
            throw DirectoryError("there is no directory database " + path);
        }
        fail(m_impl->db.get(), "cannot open the directory database " + path);
    }
    sqlite3_busy_timeout(m_impl->db.get(), kBusyTimeoutMs);
    m_impl->exec("PRAGMA foreign_keys = ON", "cannot enable foreign keys");
    if (create) {
        m_impl->createSchemaIfEmpty();
    }
    const int version = m_impl->schemaVersion();
    if (version != kSchemaVersion) {
        throw DirectoryError(path + " is not a directory database (schema version " +
                             std::to_string(version) + ", expected " +
                             std::to_string(kSchemaVersion) + ")");
    }
}

DirectoryWriter::~DirectoryWriter() = default;

void DirectoryWriter::addCell(int64_t cellId, int64_t number) {
    m_impl->write(
        "INSERT INTO cells (id, number) VALUES (?1, ?2)"
        " ON CONFLICT (id) DO UPDATE SET number = excluded.number",
        "cannot add cell " + std::to_string(cellId), cellId, number);
}

void DirectoryWriter::addClient(int64_t clientId, int64_t cellId, const std::string& host) {
    m_impl->write(
        "INSERT INTO clients (id, cell_id, host) VALUES (?1, ?2, ?3)"
        " ON CONFLICT (id) DO UPDATE SET cell_id = excluded.cell_id, host = excluded.host",
        "cannot add client " + std::to_string(clientId), clientId, cellId, host);
}

void DirectoryWriter::addApplication(int64_t applicationId, int64_t cellId, int64_t clientId,
                                     int64_t appType) {
    m_impl->write(
        "INSERT INTO applications (id, cell_id, client_id, app_type) VALUES (?1, ?2, ?3, ?4)"
        " ON CONFLICT (id) DO UPDATE SET cell_id = excluded.cell_id,"
        " client_id = excluded.client_id, app_type = excluded.app_type",
        "cannot add application " + std::to_string(applicationId), applicationId, cellId,
        clientId, appType);
}

void DirectoryWriter::addCloud(int64_t cloudId, const std::string& name) {
    m_impl->write(
        "INSERT INTO clouds (id, name) VALUES (?1, ?2)"
        " ON CONFLICT (id) DO UPDATE SET name = excluded.name",
        "cannot add cloud " + std::to_string(cloudId), cloudId, name);
}

void DirectoryWriter::addCloudMember(int64_t cloudId, int64_t clientId, int64_t properties) {
    m_impl->write(
        "INSERT INTO cloud_members (cloud_id, client_id, properties, position)"
        " SELECT ?1, ?2, ?3, coalesce(max(position) + 1, 0) FROM cloud_members"
        " WHERE cloud_id = ?1"
        " ON CONFLICT (cloud_id, client_id) DO UPDATE SET properties = excluded.properties",
        "cannot add client " + std::to_string(clientId) + " to cloud " + std::to_string(cloudId),
        cloudId, clientId, properties);
}

void DirectoryWriter::mapClientEngines(int64_t clientId, int64_t appType,
                                       const std::vector<int64_t>& cloudIds) {
    m_impl->replaceEngineList(
        "DELETE FROM client_engines WHERE client_id = ?1 AND app_type = ?2",
        "INSERT INTO client_engines (client_id, app_type, position, cloud_id)"
        " VALUES (?1, ?2, ?3, ?4)",
        cloudIds, clientId, appType);
}

void DirectoryWriter::mapApplicationEngines(int64_t applicationId,
                                            const std::vector<int64_t>& cloudIds) {
    m_impl->replaceEngineList(
        "DELETE FROM application_engines WHERE application_id = ?1",
        "INSERT INTO application_engines (application_id, position, cloud_id)"
        " VALUES (?1, ?2, ?3)",
        cloudIds, applicationId);
}

void DirectoryWriter::execute(const std::string& sql) {
    // All or nothing: a script that fails half-way leaves the directory as it was.
    Impl::Transaction transaction(*m_impl);
    m_impl->exec(sql, "cannot run the statements");
    transaction.commit();
}

void DirectoryWriter::forEachRow(
    const std::string& query, const std::function<void(const std::vector<std::string>&)>& onRow) {
    const sql::StatementPtr statement = m_impl->prepare(query);
    sql::Execution rows(statement.get());
    std::vector<std::string> columns(static_cast<size_t>(rows.columnCount()));
    int status = rows.step();
    for (; status == SQLITE_ROW; status = rows.step()) {
        for (size_t column = 0; column < columns.size(); ++column) {
            columns[column] = rows.text(static_cast<int>(column));
        }
        onRow(columns);
    }
    if (status != SQLITE_DONE) {
        fail(m_impl->db.get(), "cannot read rows");
    }
}

}  // namespace tqdir
