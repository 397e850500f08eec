// DirectoryWriter: the read-write side of the directory store.
#include "appmgr/DirectoryBackend.h"
#include "appmgr/TqDirectory.h"

namespace tqappmgr {

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

// A transaction that serialises writers, rolled back when left without commit().
class Transaction {
public:
    explicit Transaction(WriteBackend& store) : m_store(store) {}
    ~Transaction() {
        // A failed rollback means the connection is gone, and the transaction with it.
        if (m_open) {
            (void)m_store.execute("ROLLBACK", "cannot roll back");
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    CYxError begin() {
        CYxError result = m_store.begin();
        m_open = !result.IsError();
        return result;
    }
    CYxError commit() {
        CYxError result = m_store.execute("COMMIT", "cannot commit");
        m_open = m_open && result.IsError();
        if (!result.IsError()) {
            noteLocalCommit();
        }
        return result;
    }

private:
    WriteBackend& m_store;
    bool m_open = false;
};

}  // namespace

CYxError storeFailure(const std::string& text) { return CYxError(tqerr::kIo, text.c_str()); }

CYxError notADirectory(const std::string& text) {
    return CYxError(tqerr::kNotADirectory, text.c_str());
}

struct DirectoryWriter::Impl {
    std::unique_ptr<WriteBackend> store;

    template <typename... Values>
    CYxError write(const std::string& text, const std::string& what, const Values&... values) {
        return store->write(text, what, std::vector<Value>{Value(values)...});
    }

    // Runs `work` in a transaction, committed when it succeeds.
    template <typename Work>
    CYxError transaction(Work work) {
        Transaction transaction(*store);
        CYxError result = transaction.begin();
        if (!result.IsError()) {
            result = work();
        }
        if (!result.IsError()) {
            result = transaction.commit();
        }
        return result;
    }

    // Writes a record that refers to others: a missing one is named, rather
    // than left to the database's foreign-key message, which names none.
    template <typename... Values>
    CYxError writeReferring(const std::vector<Reference>& references, const std::string& text,
                            const std::string& what, const Values&... values) {
        return transaction([&] {
            CYxError result = requireRecords(references, what);
            return result.IsError() ? result : write(text, what, values...);
        });
    }

    // Inside a transaction, so that a record found stays there.
    CYxError requireRecords(const std::vector<Reference>& references, const std::string& what) {
        for (const Reference& reference : references) {
            bool found = false;
            // Ids are integers: formatting one into the text is safe.
            const CYxError read =
                store->forEachRow(std::string("SELECT 1 FROM ") + reference.table +
                                      " WHERE id = " + std::to_string(reference.id),
                                  [&found](const std::vector<std::string>&) { found = true; });
            if (read.IsError()) {
                return read;
            }
            if (!found) {
                return storeFailure(what + ": there is no " + reference.noun + " " +
                                    std::to_string(reference.id));
            }
        }
        return CYxError();
    }

    // Refuses a database this writer cannot work on, saying what it is.
    CYxError requireDirectory(const std::string& location) {
        int version = 0;
        bool empty = false;
        CYxError result = store->schemaVersion(version);
        if (result.IsError() || version == kSchemaVersion) {
            return result;
        }
        if (version != 0) {
            return notADirectory(location +
                                 " is not a directory database of this version (schema "
                                 "version " +
                                 std::to_string(version) + ", expected " +
                                 std::to_string(kSchemaVersion) + ")");
        }
        result = store->isEmpty(empty);
        if (result.IsError()) {
            return result;
        }
        if (empty) {
            return notADirectory(location + " holds no directory yet (an empty database)");
        }
        return notADirectory(location +
                             " is not a directory database: it holds tables of another kind");
    }

    // An existing database, ours or not, is left exactly as it is.
    CYxError createSchemaIfEmpty() {
        bool empty = false;
        CYxError result = store->isEmpty(empty);
        if (result.IsError() || !empty) {
            return result;
        }
        result = store->prepareNewDatabase();
        if (result.IsError()) {
            return result;
        }
        return transaction([&] {
            // Again: another init may have come first.
            CYxError again = store->isEmpty(empty);
            return again.IsError() || !empty ? again : store->createSchema();
        });
    }

    // Replace the list that `clearText` deletes with rows of `insertText`,
    // whose last two parameters are the position and the cloud id.
    template <typename... Keys>
    CYxError replaceEngineList(const Reference& owner, const std::string& clearText,
                               const std::string& insertText, const std::vector<int64_t>& cloudIds,
                               const Keys&... keys) {
        std::vector<Reference> references{owner};
        for (const int64_t id : cloudIds) {
            references.push_back(cloud(id));
        }
        return transaction([&] {
            CYxError result =
                requireRecords(references, std::string("cannot map the clouds of ") + owner.noun +
                                               " " + std::to_string(owner.id));
            if (!result.IsError()) {
                result = write(clearText, "cannot clear the engine list", keys...);
            }
            for (size_t position = 0; !result.IsError() && position < cloudIds.size(); ++position) {
                result = write(insertText, "cannot map cloud " + std::to_string(cloudIds[position]),
                               keys..., static_cast<int64_t>(position), cloudIds[position]);
            }
            return result;
        });
    }
};

CYxError DirectoryWriter::open(const std::string& path, Open mode,
                               std::unique_ptr<DirectoryWriter>& out) {
    const bool create = mode == Open::CreateIfMissing;
    auto impl = std::make_unique<Impl>();
    CYxError result = isPostgresLocation(path) ? openPostgresWriter(path, create, impl->store)
                                               : openSqliteWriter(path, create, impl->store);
    if (!result.IsError() && create) {
        result = impl->createSchemaIfEmpty();
    }
    if (!result.IsError()) {
        result = impl->requireDirectory(printableLocation(path));
    }
    if (!result.IsError()) {
        out.reset(new DirectoryWriter(std::move(impl)));
    }
    return result;
}

DirectoryWriter::DirectoryWriter(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

DirectoryWriter::~DirectoryWriter() = default;

CYxError DirectoryWriter::addCell(int64_t cellId, int64_t number) {
    return m_impl->write(
        "INSERT INTO cells (id, number) VALUES (?1, ?2)"
        " ON CONFLICT (id) DO UPDATE SET number = excluded.number",
        "cannot add cell " + std::to_string(cellId), cellId, number);
}

CYxError DirectoryWriter::addClient(int64_t clientId, int64_t cellId, const std::string& host) {
    return m_impl->writeReferring(
        {cell(cellId)},
        "INSERT INTO clients (id, cell_id, host) VALUES (?1, ?2, ?3)"
        " ON CONFLICT (id) DO UPDATE SET cell_id = excluded.cell_id, host = excluded.host",
        "cannot add client " + std::to_string(clientId), clientId, cellId, host);
}

CYxError DirectoryWriter::addApplication(int64_t applicationId, int64_t cellId, int64_t clientId,
                                         int64_t appType) {
    return m_impl->writeReferring(
        {cell(cellId), client(clientId)},
        "INSERT INTO applications (id, cell_id, client_id, app_type) VALUES (?1, ?2, ?3, ?4)"
        " ON CONFLICT (id) DO UPDATE SET cell_id = excluded.cell_id,"
        " client_id = excluded.client_id, app_type = excluded.app_type",
        "cannot add application " + std::to_string(applicationId), applicationId, cellId, clientId,
        appType);
}

CYxError DirectoryWriter::addCloud(int64_t cloudId, const std::string& name) {
    return m_impl->write(
        "INSERT INTO clouds (id, name) VALUES (?1, ?2)"
        " ON CONFLICT (id) DO UPDATE SET name = excluded.name",
        "cannot add cloud " + std::to_string(cloudId), cloudId, name);
}

CYxError DirectoryWriter::addCloudMember(int64_t cloudId, int64_t clientId, int64_t properties) {
    return m_impl->writeReferring(
        {cloud(cloudId), client(clientId)},
        "INSERT INTO cloud_members (cloud_id, client_id, properties, position)"
        " SELECT ?1, ?2, ?3, coalesce(max(position) + 1, 0) FROM cloud_members"
        " WHERE cloud_id = ?1"
        " ON CONFLICT (cloud_id, client_id) DO UPDATE SET properties = excluded.properties",
        "cannot add client " + std::to_string(clientId) + " to cloud " + std::to_string(cloudId),
        cloudId, clientId, properties);
}

CYxError DirectoryWriter::mapClientEngines(int64_t clientId, int64_t appType,
                                           const std::vector<int64_t>& cloudIds) {
    return m_impl->replaceEngineList(
        client(clientId), "DELETE FROM client_engines WHERE client_id = ?1 AND app_type = ?2",
        "INSERT INTO client_engines (client_id, app_type, position, cloud_id)"
        " VALUES (?1, ?2, ?3, ?4)",
        cloudIds, clientId, appType);
}

CYxError DirectoryWriter::mapApplicationEngines(int64_t applicationId,
                                                const std::vector<int64_t>& cloudIds) {
    return m_impl->replaceEngineList(
        application(applicationId), "DELETE FROM application_engines WHERE application_id = ?1",
        "INSERT INTO application_engines (application_id, position, cloud_id)"
        " VALUES (?1, ?2, ?3)",
        cloudIds, applicationId);
}

CYxError DirectoryWriter::execute(const std::string& sql) {
    // All or nothing: a script that fails half-way leaves the directory as it was.
    return m_impl->transaction(
        [&] { return m_impl->store->execute(sql, "cannot run the statements"); });
}

CYxError DirectoryWriter::forEachRow(
    const std::string& query, const std::function<void(const std::vector<std::string>&)>& onRow) {
    return m_impl->store->forEachRow(query, onRow);
}

}  // namespace tqappmgr
