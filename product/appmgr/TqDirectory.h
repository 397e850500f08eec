// The directory store: cells, clients, applications and content-indexing
// clouds, in a SQLite file or a PostgreSQL database (DirectoryBackend.h has the
// two back ends). libTQAppMgr owns it; the directory classes and the
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
#include <string>
#include <vector>

#include "TqPlatformApi.h"
#include "YxError.h"

namespace tqappmgr {

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
// The same for a message: a URI without its password, followed by what named
// it ("(TQ_DIRECTORY_DB)", or "(the default: TQ_DIRECTORY_DB is unset)").
TQ_PLATFORM_API std::string describeDatabasePath();
// Why the database cannot be a directory tool's or lookup's: a SQLite file
// that is missing or unreadable (described as above); empty otherwise, and
// for a PostgreSQL URI, which only a connection can tell.
TQ_PLATFORM_API std::string databaseFileProblem();

inline int64_t toStoredId(unsigned long id) { return static_cast<int64_t>(id); }
inline unsigned long fromStoredId(int64_t id) { return static_cast<unsigned long>(id); }

// A lookup's result: success when the record was found; tqerr::kNotFound
// when there is no such record; any other error when the directory could not
// answer (no database, not a directory database, locked too long, I/O error).
inline bool isNotFound(const CYxError& result) { return result.Code() == tqerr::kNotFound; }
inline bool isFailure(const CYxError& result) { return result.IsError() && !isNotFound(result); }

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
// failures in their result and never throw for them (std::bad_alloc may pass).

// A client by id; with `cellId` other than kAnyCell, a client of another cell is not found.
TQ_PLATFORM_API CYxError findClient(int64_t cellId, int64_t clientId, Client& client);
// An application by id, under the same cell rule.
TQ_PLATFORM_API CYxError findApplication(int64_t cellId, int64_t applicationId,
                                         Application& application);
// The number of a cell (0 when it has none).
TQ_PLATFORM_API CYxError findCellNumber(int64_t cellId, int64_t& number);
// A cloud with its members in stored order.
TQ_PLATFORM_API CYxError findCloud(int64_t cloudId, Cloud& cloud);
// The clouds mapped to (client, application type) or to an application, in
// stored order. Success with an empty list when nothing is mapped.
TQ_PLATFORM_API CYxError listClientEngines(int64_t clientId, int64_t appType,
                                           std::vector<int64_t>& cloudIds);
TQ_PLATFORM_API CYxError listApplicationEngines(int64_t applicationId,
                                                std::vector<int64_t>& cloudIds);

// A read-write connection of its own to a directory database, for the tool
// and tests that fill it. Adding a record that exists already updates it.
// Every operation returns its failure with the database's explanation.
class TQ_PLATFORM_API DirectoryWriter {
public:
    enum class Open {
        CreateIfMissing,  // create the file, its folder and the schema as needed
        MustExist,
    };

    // Opens the directory at `path` into `out`. tqerr::kNotADirectory when
    // the location holds no directory database the writer can work on:
    // nothing (when it is not to be created), an empty database, a file that
    // is no database, or a database of another program or schema version.
    [[nodiscard]] static CYxError open(const std::string& path, Open mode,
                                       std::unique_ptr<DirectoryWriter>& out);
    ~DirectoryWriter();
    DirectoryWriter(const DirectoryWriter&) = delete;
    DirectoryWriter& operator=(const DirectoryWriter&) = delete;

    [[nodiscard]] CYxError addCell(int64_t cellId, int64_t number);
    // Records must refer to existing ones; a missing one is named in the
    // error ("cannot add client 5: there is no cell 9").
    [[nodiscard]] CYxError addClient(int64_t clientId, int64_t cellId, const std::string& host);
    // The application's cell must be its client's cell.
    [[nodiscard]] CYxError addApplication(int64_t applicationId, int64_t cellId, int64_t clientId,
                                          int64_t appType);
    [[nodiscard]] CYxError addCloud(int64_t cloudId, const std::string& name);
    // Appends the client to the cloud's members; a member already there keeps
    // its place and takes the new property word.
    [[nodiscard]] CYxError addCloudMember(int64_t cloudId, int64_t clientId, int64_t properties);
    // Replace the engine list of (client, application type) or of an
    // application with `cloudIds`, in that order; an empty list clears it.
    [[nodiscard]] CYxError mapClientEngines(int64_t clientId, int64_t appType,
                                            const std::vector<int64_t>& cloudIds);
    [[nodiscard]] CYxError mapApplicationEngines(int64_t applicationId,
                                                 const std::vector<int64_t>& cloudIds);
    // Run SQL statements (for instance a file of INSERTs) in one transaction:
    // all of them or, on an error, none. They must not open transactions.
    [[nodiscard]] CYxError execute(const std::string& sql);
    // Run one query and hand each row to `onRow`, NULL columns as "".
    [[nodiscard]] CYxError forEachRow(
        const std::string& query,
        const std::function<void(const std::vector<std::string>&)>& onRow);

    struct Impl;

private:
    explicit DirectoryWriter(std::unique_ptr<Impl> impl);

    std::unique_ptr<Impl> m_impl;
};

}  // namespace tqappmgr
