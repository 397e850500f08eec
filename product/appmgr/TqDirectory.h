// The directory store: a SQLite database of cells, clients, applications and
// content-indexing clouds. libTQAppMgr owns it; the directory classes and the
// archive managers read it through the lookups below, and the tqdir tool and
// the tests fill it through DirectoryWriter.
//
// Ids are signed 64-bit in the database. The directory classes take unsigned
// 64-bit ids that callers widened from 32 bits by sign extension; they convert
// with toStoredId(), so a widened -1 finds the row stored as -1.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "TqPlatformApi.h"

namespace tqdir {

constexpr char kDatabasePathEnv[] = "TQ_DIRECTORY_DB";
constexpr char kDefaultDatabasePath[] = "/var/lib/tq/directory.db";
// How long a query waits for a writer's lock before it fails.
constexpr int kBusyTimeoutMs = 3000;
// PRAGMA user_version of a directory database with the current schema.
constexpr int kSchemaVersion = 1;
// Cell id 0 names no cell: a lookup "in cell 0" accepts a record of any cell.
constexpr int64_t kAnyCell = 0;

// The database the process uses: $TQ_DIRECTORY_DB, or the default when unset or empty.
TQ_PLATFORM_API std::string databasePath();

inline int64_t toStoredId(unsigned long id) {
    return static_cast<int64_t>(id);
}
inline unsigned long fromStoredId(int64_t id) {
    return static_cast<unsigned long>(id);
}

enum class Lookup {
    Found,
    NotFound,
    Failed,  // no database, not a directory database, locked too long, I/O error
};

struct Client {
    int64_t id = 0;
    int64_t cellId = 0;
    std::string host;  // "name[:port]"; empty when the client has none
};

struct Application {
    int64_t id = 0;
    int64_t cellId = 0;
    int64_t clientId = 0;
    int64_t appType = 0;
};

struct CloudMember {
    int64_t clientId = 0;
    int64_t properties = 0;
};

struct Cloud {
    int64_t id = 0;
    std::string name;
    std::vector<CloudMember> members;  // in stored order
};

// Lookups through the process's one connection to databasePath(). The
// connection is opened on first use, query-only, and dropped after a failure
// so that the next lookup opens the database again. An answer read since the
// database last changed (any commit, by any process) is given again from
// memory. Safe to call from several threads at once. They report database
// failures as Lookup::Failed and never throw for them (std::bad_alloc may pass).

// A client by id; with `cellId` other than kAnyCell, a client of another cell is NotFound.
TQ_PLATFORM_API Lookup findClient(int64_t cellId, int64_t clientId, Client& client);
// An application by id, under the same cell rule.
TQ_PLATFORM_API Lookup findApplication(int64_t cellId, int64_t applicationId,
                                       Application& application);
// The number of a cell (0 when it has none).
TQ_PLATFORM_API Lookup findCellNumber(int64_t cellId, int64_t& number);
// A cloud with its members in stored order.
TQ_PLATFORM_API Lookup findCloud(int64_t cloudId, Cloud& cloud);
// The clouds mapped to (client, application type) or to an application, in
// stored order. Found with an empty list when nothing is mapped.
TQ_PLATFORM_API Lookup listClientEngines(int64_t clientId, int64_t appType,
                                         std::vector<int64_t>& cloudIds);
TQ_PLATFORM_API Lookup listApplicationEngines(int64_t applicationId,
                                              std::vector<int64_t>& cloudIds);

// A failure of DirectoryWriter, with the database's explanation.
class TQ_PLATFORM_API DirectoryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The location holds no directory database DirectoryWriter can work on:
// nothing (when it is not to be created), an empty database, a file that is
// no database, or a database of another program or schema version.
class TQ_PLATFORM_API NotADirectoryError : public DirectoryError {
public:
    using DirectoryError::DirectoryError;
};

// A read-write connection of its own to a directory database, for the tool
// and tests that fill it. Adding a record that exists already updates it.
// Every operation throws DirectoryError on failure.
class TQ_PLATFORM_API DirectoryWriter {
public:
    enum class Open {
        CreateIfMissing,  // create the file, its folder and the schema as needed
        MustExist,
    };

    DirectoryWriter(const std::string& path, Open mode);
    ~DirectoryWriter();
    DirectoryWriter(const DirectoryWriter&) = delete;
    DirectoryWriter& operator=(const DirectoryWriter&) = delete;

    void addCell(int64_t cellId, int64_t number);
    // Records must refer to existing ones; a missing one is named in the
    // DirectoryError ("cannot add client 5: there is no cell 9").
    void addClient(int64_t clientId, int64_t cellId, const std::string& host);
    // The application's cell must be its client's cell.
    void addApplication(int64_t applicationId, int64_t cellId, int64_t clientId,
                        int64_t appType);
    void addCloud(int64_t cloudId, const std::string& name);
    // Appends the client to the cloud's members; a member already there keeps
    // its place and takes the new property word.
    void addCloudMember(int64_t cloudId, int64_t clientId, int64_t properties);
    // Replace the engine list of (client, application type) or of an
    // application with `cloudIds`, in that order; an empty list clears it.
    void mapClientEngines(int64_t clientId, int64_t appType, const std::vector<int64_t>& cloudIds);
    void mapApplicationEngines(int64_t applicationId, const std::vector<int64_t>& cloudIds);
    // Run SQL statements (for instance a file of INSERTs) in one transaction:
    // all of them or, on an error, none. They must not open transactions.
    void execute(const std::string& sql);
    // Run one query and hand each row to `onRow`, NULL columns as "".
    void forEachRow(const std::string& query,
                    const std::function<void(const std::vector<std::string>&)>& onRow);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace tqdir
