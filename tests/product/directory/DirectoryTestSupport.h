// Temporary directory databases for the directory tests, on either back end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ScopedEnvironment.h"
#include "TemporaryFolder.h"
#include "appmgr/TqDirectory.h"

namespace tqtest {

enum class Backend { Sqlite, Postgres };

// A writer's transaction that keeps every directory table locked until it is
// released (or destroyed).
class DirectoryLock {
public:
    virtual ~DirectoryLock() = default;
    virtual void release() = 0;
};

// Points TQ_DIRECTORY_DB at a database that does not exist yet, in a
// temporary folder (SQLite) or in a throw-away cluster of this test program
// (PostgreSQL), and restores the variable afterwards.
class DirectoryFixture : public ::testing::Test {
protected:
    explicit DirectoryFixture(Backend backend);
    // PostgreSQL tests are skipped, with the reason, when the server
    // programs are not installed.
    void SetUp() override;

    Backend backend() const { return m_backend; }
    const std::string& databasePath() const { return m_databasePath; }
    const std::string& folder() const { return m_folder.path(); }
    // Another database of the same back end, not created.
    std::string otherLocation(const std::string& suffix) const;
    bool databaseExists(const std::string& location) const;
    bool databaseExists() const { return databaseExists(m_databasePath); }
    // Runs SQL on `location` with a connection of the test's own, creating
    // the database when missing; false when it fails.
    bool runSql(const std::string& location, const std::string& sql) const;
    // Create the database with the sample records below.
    void createSampleDirectory();

    std::unique_ptr<DirectoryLock> lockDirectory() const;

public:
    // The sample directory.
    static constexpr int64_t kCell = 1;  // number kCellNumber
    static constexpr int64_t kCellNumber = 42;
    static constexpr int64_t kCellWithoutNumber = 2;
    static constexpr int64_t kMinusOne = -1;  // a cell, client and application
    static constexpr int64_t kMinusOneCellNumber = 77;
    static constexpr int64_t kClient = 100;  // cell kCell, host kClientHost
    static constexpr int64_t kClientWithoutHost = 101;
    static constexpr int64_t kClientOfOtherCell = 200;
    static constexpr int64_t kWideClient = 0x10000000C;  // cell kCell, host kWideHost
    static constexpr int64_t kApplication = 500;         // of kClient, type kAppType
    static constexpr int64_t kAppType = 33;
    static constexpr int64_t kOtherAppType = 34;
    static constexpr int64_t kWideCloudAppType = 35;
    static constexpr int64_t kCloud = 7;  // members 101 (3), wide (0), 100 (1)
    static constexpr int64_t kEmptyCloud = 8;
    static constexpr int64_t kThirdCloud = 3;
    static constexpr int64_t kWideCloud = 0x100000005;
    static const char* const kClientHost;
    static const char* const kWideHost;
    static const char* const kCloudName;

private:
    Backend m_backend;
    TemporaryFolder m_folder;
    std::string m_databasePath;
    ScopedEnvironment m_databasePathSetting;
};

// The contract of the directory, run once per back end (TQ_ON_EVERY_BACKEND).
class DirectoryTest : public DirectoryFixture, public ::testing::WithParamInterface<Backend> {
protected:
    DirectoryTest() : DirectoryFixture(GetParam()) {}
};

// What only a SQLite file has: its bytes, its write-ahead log, its locks.
class SqliteDirectoryTest : public DirectoryFixture {
protected:
    SqliteDirectoryTest() : DirectoryFixture(Backend::Sqlite) {}
};

// What only a database server has: its connection, its notifications.
class PostgresDirectoryTest : public DirectoryFixture {
protected:
    PostgresDirectoryTest() : DirectoryFixture(Backend::Postgres) {}
};

std::string backendName(const ::testing::TestParamInfo<Backend>& info);

// A success, or a test failure that shows the error's text.
::testing::AssertionResult succeeded(const CYxError& result);

// A writer on `location`; null, with a test failure, when it cannot be opened.
std::unique_ptr<tqappmgr::DirectoryWriter> openWriter(
    const std::string& location,
    tqappmgr::DirectoryWriter::Open mode = tqappmgr::DirectoryWriter::Open::MustExist);

}  // namespace tqtest

// Runs the tests of a suite of the contract on every back end. The test names
// end in the back end's name; CMake runs those on PostgreSQL together, in one
// process with one cluster.
#define TQ_ON_EVERY_BACKEND(suite)                                                           \
    INSTANTIATE_TEST_SUITE_P(                                                                \
        Store, suite, ::testing::Values(tqtest::Backend::Sqlite, tqtest::Backend::Postgres), \
        tqtest::backendName)
