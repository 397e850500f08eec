// How the directory classes behave when the database is missing, damaged,
// locked or shared between threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <list>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ArchiveManager.h"
#include "DirectoryTestSupport.h"
#include "TQAppMgr.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using tqtest::DirectoryTest;
using tqtest::SqliteDirectoryTest;

// Every kind of query, each expected to fail without touching its outputs.
void expectEveryQueryFails() {
    std::string host = "untouched";
    unsigned long number = 5;
    EXPECT_NE(0, TQClient(1, 100).getMangledHostName(host, nullptr));
    EXPECT_NE(0, TQClient(100).getVornCellId(number, nullptr));
    EXPECT_EQ(nullptr, ApplicationId(1, 500).getClient(nullptr));
    EXPECT_NE(0, TQVornCell(1).getVornCellNumber(number, nullptr));
    std::list<unsigned long> clients;
    std::list<unsigned long> properties;
    EXPECT_NE(0, ContentIndexEngine(7).getCloudClientList(clients, properties, host, nullptr));
    GetContentIndexEngineListArgs_t args;
    args.clientId = 100;
    args.appType = 33;
    GetContentIndexEngineListRet_t ret;
    EXPECT_LT(ArchiveManagerCS(nullptr).getContentIndexEngineList(&args, &ret), 0);
    GetContentIndexEngineListArgsDS_t argsDS;
    argsDS.applicationId = 500;
    GetContentIndexEngineListRetDS_t retDS;
    EXPECT_LT(ArchiveManagerDS().getContentIndexEngineList(&argsDS, &retDS), 0);
    EXPECT_EQ("untouched", host);
    EXPECT_EQ(5u, number);
    EXPECT_TRUE(clients.empty());
}

bool cellNumberIsReadable() {
    unsigned long number = 0;
    return TQVornCell(DirectoryTest::kCell).getVornCellNumber(number, nullptr) == 0 &&
           number == static_cast<unsigned long>(DirectoryTest::kCellNumber);
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string randomBytes(size_t count) {
    std::mt19937 generator(12345);
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

// Descriptors of this process open on `path`.
int descriptorsOpenOn(const std::string& path) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == path) {
            ++count;
        }
    }
    return count;
}

TEST_P(DirectoryTest, MissingDatabaseFailsEveryQueryAndIsNotCreated) {
    expectEveryQueryFails();
    EXPECT_FALSE(databaseExists());
}

TEST_P(DirectoryTest, DatabaseCreatedAfterAFailedQueryIsFound) {
    EXPECT_FALSE(cellNumberIsReadable());
    createSampleDirectory();
    EXPECT_TRUE(cellNumberIsReadable());
}

TEST_F(SqliteDirectoryTest, FileThatIsNoDatabaseFailsCleanly) {
    writeFile(databasePath(), randomBytes(8192));
    expectEveryQueryFails();
}

TEST_F(SqliteDirectoryTest, EmptyFileFailsCleanly) {
    writeFile(databasePath(), "");
    expectEveryQueryFails();
}

TEST_P(DirectoryTest, DatabaseWithoutTheDirectorySchemaFails) {
    ASSERT_TRUE(runSql(databasePath(), "CREATE TABLE clients (id INTEGER PRIMARY KEY)"));
    expectEveryQueryFails();
}

TEST_F(SqliteDirectoryTest, DamagedTablePagesFailCleanly) {
    createSampleDirectory();
    const auto size = std::filesystem::file_size(databasePath());
    const std::string header = [&] {
        std::ifstream file(databasePath(), std::ios::binary);
        std::string page1(4096, '\0');
        file.read(page1.data(), static_cast<std::streamsize>(page1.size()));
        return page1;
    }();
    // Page 1 (header and schema) stays intact; every table page is garbage.
    writeFile(databasePath(), header + randomBytes(size - header.size()));
    expectEveryQueryFails();
}

TEST_P(DirectoryTest, DatabaseLockedByAWriterFailsAfterTheBusyTimeout) {
    createSampleDirectory();
    const auto lock = lockDirectory();
    const auto start = Clock::now();
    EXPECT_FALSE(cellNumberIsReadable());
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(tqappmgr::kBusyTimeoutMs - 200));
    EXPECT_LT(waited, milliseconds(tqappmgr::kBusyTimeoutMs + 2000));
    lock->release();
    EXPECT_TRUE(cellNumberIsReadable());
}

TEST_P(DirectoryTest, LockReleasedWithinTheBusyTimeoutOnlyDelaysTheQuery) {
    createSampleDirectory();
    constexpr milliseconds kHeld(300);
    const auto lock = lockDirectory();
    std::thread writer([&] {
        std::this_thread::sleep_for(kHeld);
        lock->release();
    });
    const auto start = Clock::now();
    EXPECT_TRUE(cellNumberIsReadable());
    EXPECT_GE(Clock::now() - start, kHeld - milliseconds(50));
    writer.join();
}

TEST_P(DirectoryTest, ThreadsShareOneConnectionAndGetConsistentAnswers) {
    createSampleDirectory();
    constexpr int kThreads = 4;
    constexpr int kRounds = 150;
    std::atomic<int> wrongAnswers{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                std::string host;
                GetContentIndexEngineListArgs_t args;
                args.clientId = kClient;
                args.appType = kAppType;
                GetContentIndexEngineListRet_t ret;
                GetContentIndexEngineListArgsDS_t argsDS;
                argsDS.applicationId = kApplication;
                GetContentIndexEngineListRetDS_t retDS;
                const bool right =
                    TQClient(kCell, kClient).getMangledHostName(host, nullptr) == 0 &&
                    host == kClientHost &&
                    ArchiveManagerCS(nullptr).getContentIndexEngineList(&args, &ret) == 3 &&
                    ArchiveManagerDS().getContentIndexEngineList(&argsDS, &retDS) == 2 &&
                    cellNumberIsReadable();
                if (!right) {
                    ++wrongAnswers;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, wrongAnswers.load());
    // The classes of all three libraries went through the same connection.
    if (backend() == tqtest::Backend::Sqlite) {
        EXPECT_EQ(1, descriptorsOpenOn(databasePath()));
    }
}

TEST_P(DirectoryTest, QueriesFollowTheDatabasePathOfTheEnvironment) {
    createSampleDirectory();
    ASSERT_TRUE(cellNumberIsReadable());
    const std::string otherPath = otherLocation("other");
    {
        const auto other =
            tqtest::openWriter(otherPath, tqappmgr::DirectoryWriter::Open::CreateIfMissing);
        ASSERT_NE(nullptr, other);
        ASSERT_TRUE(tqtest::succeeded(other->addCell(kCell, 1234)));
    }
    setenv(tqappmgr::kDatabasePathEnv, otherPath.c_str(), 1);
    unsigned long number = 0;
    EXPECT_EQ(0, TQVornCell(kCell).getVornCellNumber(number, nullptr));
    EXPECT_EQ(1234u, number);
}

TQ_ON_EVERY_BACKEND(DirectoryTest);

}  // namespace
