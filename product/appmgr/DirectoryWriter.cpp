// DirectoryWriter: the read-write side of the directory store.
#include "DirectoryBackend.h"
#include "TqDirectory.h"

namespace tqdir {

namespace {

// A record that another one refers to, named for messages.
struct Reference {
    const char* table;
    const char* noun;
    int64_t id;
};

Reference cell(int64_t id) { return {"cells", "cell", id}; }
Reference client(int64_t id) { return {"clients", "client", id}; }
Reference application(int64_t id) { return {"applications", "application", id}; }
Reference cloud(int64_t id) { return {"clouds", "cloud", id}; }

}  // namespace

struct DirectoryWriter::Impl {
    std::unique_ptr<WriteBackend> store;

    template <typename... Values>
    void write(const std::string& text, const std::string& what, const Values&... values) {
        store->write(text, what, std::vector<Value>{Value(values)...});
    }

    // Writes a record that refers to others: a missing one is named, rather
    // than left to the database's foreign-key message, which names none.
    template <typename... Values>
    void writeReferring(const std::vector<Reference>& references, const std::string& text,
                        const std::string& what, const Values&... values) {
        Transaction transaction(*this);
        requireRecords(references, what);
        write(text, what, values...);
        transaction.commit();
    }

    // Inside a transaction, so that a record found stays there.
    void requireRecords(const std::vector<Reference>& references, const std::string& what) {
        for (const Reference& reference : references) {
            bool found = false;
            // Ids are integers: formatting one into the text is safe.
            store->forEachRow(std::string("SELECT 1 FROM ") + reference.table +
                                  " WHERE id = " + std::to_string(reference.id),
                              [&found](const std::vector<std::string>&) { found = true; });
            if (!found) {
                throw DirectoryError(what + ": there is no " + reference.noun + " " +
                                     std::to_string(reference.id));
            }
        }
    }

    // Refuses a database this writer cannot work on, saying what it is.
    void requireDirectory(const std::string& location) {
        const int version = store->schemaVersion();
        if (version == kSchemaVersion) return;
        if (version != 0) {
            throw NotADirectoryError(location +
                                     " is not a directory database of this version (schema "
                                     "version " + std::to_string(version) + ", expected " +
                                     std::to_string(kSchemaVersion) + ")");
        }
        if (store->isEmpty()) {
            throw NotADirectoryError(location + " holds no directory yet (an empty database)");
        }
        throw NotADirectoryError(location +
                                 " is not a directory database: it holds tables of another kind");
    }

    // An existing database, ours or not, is left exactly as it is.
    void createSchemaIfEmpty() {
        if (!store->isEmpty()) {
            return;
        }
        store->prepareNewDatabase();
        Transaction transaction(*this);
        if (store->isEmpty()) {  // again: another init may have come first
            store->createSchema();
        }
        transaction.commit();
    }

    // A transaction that serialises writers, rolled back when left without commit().
    class Transaction {
    public:
        explicit Transaction(Impl& impl) : m_impl(impl) { m_impl.store->begin(); }
        ~Transaction() {
            if (!m_committed) {
                try {
                    m_impl.store->execute("ROLLBACK", "cannot roll back");
                } catch (const DirectoryError&) {
                    // The connection is gone, and the transaction with it.
                }
            }
        }
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit() {
            m_impl.store->execute("COMMIT", "cannot commit");
            m_committed = true;
        }

    private:
        Impl& m_impl;
        bool m_committed = false;
    };

    // Replace the list that `clearText` deletes with rows of `insertText`,
    // whose last two parameters are the position and the cloud id.
    template <typename... Keys>
    void replaceEngineList(const Reference& owner, const std::string& clearText,
                           const std::string& insertText, const std::vector<int64_t>& cloudIds,
                           const Keys&... keys) {
        Transaction transaction(*this);
        std::vector<Reference> references{owner};
        for (const int64_t id : cloudIds) references.push_back(cloud(id));
        requireRecords(references, std::string("cannot map the clouds of ") + owner.noun + " " +
                                       std::to_string(owner.id));
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
    m_impl->store = isPostgresLocation(path) ? openPostgresWriter(path, create)
                                             : openSqliteWriter(path, create);
    if (create) {
        m_impl->createSchemaIfEmpty();
    }
    m_impl->requireDirectory(printableLocation(path));
}

DirectoryWriter::~DirectoryWriter() = default;

void DirectoryWriter::addCell(int64_t cellId, int64_t number) {
    m_impl->write(
        "INSERT INTO cells (id, number) VALUES (?1, ?2)"
        " ON CONFLICT (id) DO UPDATE SET number = excluded.number",
        "cannot add cell " + std::to_string(cellId), cellId, number);
}

void DirectoryWriter::addClient(int64_t clientId, int64_t cellId, const std::string& host) {
    m_impl->writeReferring(
        {cell(cellId)},
        "INSERT INTO clients (id, cell_id, host) VALUES (?1, ?2, ?3)"
        " ON CONFLICT (id) DO UPDATE SET cell_id = excluded.cell_id, host = excluded.host",
        "cannot add client " + std::to_string(clientId), clientId, cellId, host);
}

void DirectoryWriter::addApplication(int64_t applicationId, int64_t cellId, int64_t clientId,
                                     int64_t appType) {
    m_impl->writeReferring(
        {cell(cellId), client(clientId)},
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
    m_impl->writeReferring(
        {cloud(cloudId), client(clientId)},
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
        client(clientId),
        "DELETE FROM client_engines WHERE client_id = ?1 AND app_type = ?2",
        "INSERT INTO client_engines (client_id, app_type, position, cloud_id)"
        " VALUES (?1, ?2, ?3, ?4)",
        cloudIds, clientId, appType);
}

void DirectoryWriter::mapApplicationEngines(int64_t applicationId,
                                            const std::vector<int64_t>& cloudIds) {
    m_impl->replaceEngineList(
        application(applicationId),
        "DELETE FROM application_engines WHERE application_id = ?1",
        "INSERT INTO application_engines (application_id, position, cloud_id)"
        " VALUES (?1, ?2, ?3)",
        cloudIds, applicationId);
}

void DirectoryWriter::execute(const std::string& sql) {
    // All or nothing: a script that fails half-way leaves the directory as it was.
    Impl::Transaction transaction(*m_impl);
    m_impl->store->execute(sql, "cannot run the statements");
    transaction.commit();
}

void DirectoryWriter::forEachRow(
    const std::string& query, const std::function<void(const std::vector<std::string>&)>& onRow) {
    m_impl->store->forEachRow(query, onRow);
}

}  // namespace tqdir
