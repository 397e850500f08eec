// Answers read once are given again only while the database is unchanged:
// every change committed by another connection, in this process or another,
// is seen by the very next lookup.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "DirectoryTestSupport.h"
#include "appmgr/ChangeWatch.h"
#include "appmgr/DirectoryBackend.h"
#include "appmgr/TqDirectory.h"

namespace {

using tqtest::DirectoryTest;
using tqtest::succeeded;

int64_t cellNumber(int64_t cellId) {
    int64_t number = -1;
    EXPECT_TRUE(succeeded(tqappmgr::findCellNumber(cellId, number)));
    return number;
}

template <typename Fixture>
class ChangeTest : public Fixture {
protected:
    void SetUp() override {
        Fixture::SetUp();
        if (!this->IsSkipped()) {
            this->createSampleDirectory();
        }
    }
    std::unique_ptr<tqappmgr::DirectoryWriter> writer() {
        return tqtest::openWriter(this->databasePath());
    }
};
using DirectoryChangeTest = ChangeTest<DirectoryTest>;
using SqliteChangeTest = ChangeTest<tqtest::SqliteDirectoryTest>;

TEST_P(DirectoryChangeTest, EveryKindOfAnswerFollowsACommitOfAnotherConnection) {
    tqappmgr::Client client;
    tqappmgr::Application application;
    tqappmgr::Cloud cloud;
    std::vector<int64_t> clientClouds;
    std::vector<int64_t> applicationClouds;
    // Read everything once, so that every answer is known.
    ASSERT_EQ(cellNumber(kCell), kCellNumber);
    ASSERT_TRUE(succeeded(tqappmgr::findClient(tqappmgr::kAnyCell, kClient, client)));
    ASSERT_TRUE(succeeded(tqappmgr::findApplication(kCell, kApplication, application)));
    ASSERT_TRUE(succeeded(tqappmgr::findCloud(kEmptyCloud, cloud)));
    ASSERT_TRUE(succeeded(tqappmgr::listClientEngines(kClient, kOtherAppType, clientClouds)));
    ASSERT_TRUE(succeeded(tqappmgr::listApplicationEngines(kApplication, applicationClouds)));

    {
        const auto directory = writer();
        ASSERT_NE(nullptr, directory);
        for (const CYxError& result : {
                 directory->addCell(kCell, 4242),
                 directory->addClient(kClient, kCell, "moved.example:9000"),
                 directory->addApplication(kApplication, kCell, kClient, kOtherAppType),
                 directory->addCloudMember(kEmptyCloud, kClient, 1),
                 directory->mapClientEngines(kClient, kOtherAppType, {kCloud, kEmptyCloud}),
                 directory->mapApplicationEngines(kApplication, {}),
             }) {
            ASSERT_TRUE(succeeded(result));
        }
    }

    EXPECT_EQ(cellNumber(kCell), 4242);
    ASSERT_TRUE(succeeded(tqappmgr::findClient(tqappmgr::kAnyCell, kClient, client)));
    EXPECT_EQ(client.host, "moved.example:9000");
    ASSERT_TRUE(succeeded(tqappmgr::findApplication(kCell, kApplication, application)));
    EXPECT_EQ(application.appType, kOtherAppType);
    ASSERT_TRUE(succeeded(tqappmgr::findCloud(kEmptyCloud, cloud)));
    ASSERT_EQ(cloud.members.size(), 1u);
    EXPECT_EQ(cloud.members[0].clientId, kClient);
    ASSERT_TRUE(succeeded(tqappmgr::listClientEngines(kClient, kOtherAppType, clientClouds)));
    EXPECT_EQ(clientClouds, (std::vector<int64_t>{kCloud, kEmptyCloud}));
    ASSERT_TRUE(succeeded(tqappmgr::listApplicationEngines(kApplication, applicationClouds)));
    EXPECT_TRUE(applicationClouds.empty());
}

TEST_P(DirectoryChangeTest, MissingRowsAreLookedForAgainAfterAChange) {
    constexpr int64_t kNewClient = 4711;
    tqappmgr::Client client;
    ASSERT_TRUE(tqappmgr::isNotFound(tqappmgr::findClient(tqappmgr::kAnyCell, kNewClient, client)));
    ASSERT_TRUE(tqappmgr::isNotFound(tqappmgr::findClient(tqappmgr::kAnyCell, kNewClient, client)));
    ASSERT_TRUE(succeeded(writer()->addClient(kNewClient, kCell, "new.example")));
    ASSERT_TRUE(succeeded(tqappmgr::findClient(tqappmgr::kAnyCell, kNewClient, client)));
    EXPECT_EQ(client.host, "new.example");
    // The cell rule is applied to a remembered answer as to a fresh one.
    EXPECT_TRUE(tqappmgr::isNotFound(tqappmgr::findClient(kCellWithoutNumber, kNewClient, client)));
    ASSERT_TRUE(succeeded(writer()->execute("DELETE FROM clients WHERE id = 4711")));
    EXPECT_TRUE(tqappmgr::isNotFound(tqappmgr::findClient(tqappmgr::kAnyCell, kNewClient, client)));
}

// Within the staleness bound: a lookup that starts one freshness window after
// another process committed sees the change, however close the lookups before.
TEST_P(DirectoryChangeTest, CommitsOfAnotherProcessAreSeenWithinTheWindow) {
    for (int64_t number = 1; number <= 20; ++number) {
        ASSERT_EQ(cellNumber(kCell), number == 1 ? kCellNumber : number - 1);
        const auto lastLookup = std::chrono::steady_clock::now();
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            _exit(runSql(databasePath(), "UPDATE cells SET number = " + std::to_string(number) +
                                             " WHERE id = " + std::to_string(kCell))
                      ? 0
                      : 1);
        }
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        std::this_thread::sleep_until(lastLookup + tqappmgr::kFreshnessWindow);
        EXPECT_EQ(cellNumber(kCell), number);
    }
}

// A child that looks things up after fork() must not take the parent's
// change events: the parent would then keep giving answers that are out of date.
TEST_P(DirectoryChangeTest, AForkedChildLooksUpWithoutBlindingItsParent) {
    ASSERT_EQ(cellNumber(kCell), kCellNumber);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int64_t number = 0;
        bool ok = !tqappmgr::findCellNumber(kCell, number).IsError() && number == kCellNumber;
        std::unique_ptr<tqappmgr::DirectoryWriter> directory;
        ok = ok &&
             !tqappmgr::DirectoryWriter::open(databasePath(),
                                              tqappmgr::DirectoryWriter::Open::MustExist, directory)
                  .IsError() &&
             !directory->addCell(kCell, 9001).IsError();
        // Sees its own change, and drains whatever events it watches.
        ok = ok && !tqappmgr::findCellNumber(kCell, number).IsError() && number == 9001;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(cellNumber(kCell), 9001);
}

// While nothing is written the answer comes from memory: it is given at once
// even while another process holds every lock of the write-ahead log, when a
// query could not read at all.
TEST_F(SqliteChangeTest, UnchangedAnswerIsGivenWithoutReadingTheDatabase) {
    ASSERT_EQ(cellNumber(kCell), kCellNumber);
    int toParent[2];
    int toChild[2];
    ASSERT_EQ(0, pipe(toParent));
    ASSERT_EQ(0, pipe(toChild));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Locks taken with fcntl() belong to a process: this one's exclude the parent.
        const int shm = open((databasePath() + "-shm").c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = 120;  // the log's write, checkpoint, recovery and read locks
        lock.l_len = 8;
        const char locked = shm >= 0 && fcntl(shm, F_SETLK, &lock) == 0 ? 'y' : 'n';
        char done = 0;
        if (write(toParent[1], &locked, 1) != 1 || read(toChild[0], &done, 1) != 1) {
            _exit(1);
        }
        _exit(0);
    }
    char locked = 0;
    ASSERT_EQ(1, read(toParent[0], &locked, 1));
    ASSERT_EQ('y', locked);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(cellNumber(kCell), kCellNumber);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    ASSERT_EQ(1, write(toChild[1], "x", 1));
    int status = 0;
    waitpid(child, &status, 0);
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) {
        close(fd);
    }
}

// What the remembered answers rest on: the watch reports every commit, and
// nothing else it is not told of.
TEST_F(SqliteChangeTest, WatchReportsCommitsOnceAndEndsWhenTheLogGoes) {
    // The process's reading connection keeps the write-ahead log in place.
    int64_t number = 0;
    ASSERT_TRUE(succeeded(tqappmgr::findCellNumber(kCell, number)));
    tqappmgr::ChangeWatch watch;
    ASSERT_TRUE(watch.start(databasePath()));
    EXPECT_FALSE(watch.changedSinceLastLook());
    tqappmgr::Client client;
    ASSERT_TRUE(succeeded(tqappmgr::findClient(tqappmgr::kAnyCell, kClient, client)));
    EXPECT_FALSE(watch.changedSinceLastLook()) << "reading is no change";
    ASSERT_TRUE(succeeded(writer()->addCell(kCell, 1)));
    EXPECT_TRUE(watch.changedSinceLastLook());
    EXPECT_FALSE(watch.changedSinceLastLook());

    // A database that leaves WAL mode loses its log: the watch ends and
    // reports a change from then on.
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(databasePath().c_str(), &db));
    tqtest::ScopedEnvironment elsewhere(tqappmgr::kDatabasePathEnv, "/nonexistent/directory.db");
    (void)tqappmgr::findCellNumber(kCell, number);  // lets go of the database
    EXPECT_EQ(SQLITE_OK,
              sqlite3_exec(db, "PRAGMA journal_mode = DELETE", nullptr, nullptr, nullptr));
    sqlite3_close(db);
    EXPECT_TRUE(watch.changedSinceLastLook());
    EXPECT_FALSE(watch.active());
    EXPECT_TRUE(watch.changedSinceLastLook());
    // Without a log there is nothing to watch: every answer is read afresh.
    EXPECT_FALSE(watch.start(databasePath()));
    EXPECT_FALSE(watch.start(databasePath() + ".missing"));
}

// A database replaced by rename, as an operator installs a new copy, is
// opened afresh: the connection must not go on reading the old file.
TEST_F(SqliteChangeTest, DatabaseReplacedByRenameIsReopened) {
    ASSERT_EQ(cellNumber(kCell), kCellNumber);
    const std::string copy = databasePath() + ".new";
    {
        const auto replacement =
            tqtest::openWriter(copy, tqappmgr::DirectoryWriter::Open::CreateIfMissing);
        ASSERT_NE(nullptr, replacement);
        ASSERT_TRUE(succeeded(replacement->addCell(kCell, 5150)));
    }
    ASSERT_EQ(0, std::rename(copy.c_str(), databasePath().c_str()));
    EXPECT_EQ(cellNumber(kCell), 5150);
    ASSERT_TRUE(succeeded(writer()->addCell(kCell, 5151)));
    EXPECT_EQ(cellNumber(kCell), 5151);
}

TQ_ON_EVERY_BACKEND(DirectoryChangeTest);

}  // namespace
