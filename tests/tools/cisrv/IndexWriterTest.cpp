// The writer: erases answered only once committed, prunes batched, failures
// reported rather than lost, queued work committed at stop.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "CisrvTestSupport.h"
#include "IndexWriter.h"

namespace cisrv::test {
namespace {

class IndexWriterTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir.file("index.db");
    std::unique_ptr<IndexStore> store = openIndex(file);
    std::unique_ptr<ServerLog> log = [this] {
        std::unique_ptr<ServerLog> opened;
        EXPECT_TRUE(ServerLog::open(dir.file("writer.log"), opened).isOk());
        return opened;
    }();

    void addArchiveFiles(int count) {
        ASSERT_TRUE(store->begin().isOk());
        Document fields;
        for (int i = 1; i <= count; ++i) {
            fields.archiveFileId = i;
            addDocument(*store, "/f/" + std::to_string(i), fields);
        }
        ASSERT_TRUE(store->commit().isOk());
    }
};

TEST_F(IndexWriterTest, EraseResultArrivesOnlyAfterItsCommit) {
    addDocument(*store, "/gone/1");
    addDocument(*store, "/kept/1");
    IndexWriter writer(*store, *log, {});
    EraseScope scope;
    scope.path = "/gone";
    const IndexWriter::EraseResult result = writer.erase(scope).get();
    ASSERT_TRUE(result.status.isOk()) << result.status.message();
    EXPECT_EQ(result.removed, 1);
    // Another connection already sees it: committed, not merely executed.
    EXPECT_EQ(pathsIn(file), std::vector<std::string>{"/kept/1"});
}

TEST_F(IndexWriterTest, PrunesShareCommitsUpToTheBatchLimit) {
    addArchiveFiles(600);
    IndexWriter::Limits limits;
    limits.linger = std::chrono::milliseconds(200);
    {
        IndexWriter writer(*store, *log, limits);
        for (int i = 1; i <= 500; ++i) writer.prune(PruneScope{i, 0, 0}, "test");
        writer.flush();
        EXPECT_EQ(countDocuments(file), 100);
        EXPECT_LE(writer.commits(), 2u);
    }
    limits.maxBatch = 10;
    IndexWriter writer(*store, *log, limits);
    for (int i = 501; i <= 600; ++i) writer.prune(PruneScope{i, 0, 0}, "test");
    writer.flush();
    EXPECT_EQ(countDocuments(file), 0);
    EXPECT_GE(writer.commits(), 10u);
}

TEST_F(IndexWriterTest, LockedIndexFailsTheEraseAndLaterOnesSucceed) {
    addDocument(*store, "/a/1");
    store.reset();
    StoreOptions impatient;
    impatient.busyTimeoutMs = 50;
    ASSERT_TRUE(IndexStore::open(file, OpenMode::MustExist, impatient, store).isOk());
    IndexWriter writer(*store, *log, {});
    EraseScope scope;
    scope.path = "/a";

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const IndexWriter::EraseResult blocked = writer.erase(scope).get();
    EXPECT_NE(blocked.status.message().find("locked"), std::string::npos)
        << blocked.status.message();
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    const IndexWriter::EraseResult retried = writer.erase(scope).get();
    EXPECT_TRUE(retried.status.isOk()) << retried.status.message();
    EXPECT_EQ(retried.removed, 1);
}

TEST_F(IndexWriterTest, StopCommitsQueuedPrunesAndRefusesLaterWork) {
    addArchiveFiles(50);
    IndexWriter::Limits limits;
    limits.linger = std::chrono::seconds(30);  // only the stop can end the batch early
    IndexWriter writer(*store, *log, limits);
    for (int i = 1; i <= 50; ++i) writer.prune(PruneScope{i, 0, 0}, "test");
    writer.stop();
    EXPECT_EQ(countDocuments(file), 0);
    EraseScope scope;
    scope.path = "/f";
    EXPECT_FALSE(writer.erase(scope).get().status.isOk());
}

}  // namespace
}  // namespace cisrv::test
