// The writer: erases answered only once committed, prunes batched, failures
// reported rather than lost, queued work committed at stop.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <thread>
#include <vector>

#include "CisrvTestSupport.h"
#include "cisrv/IndexWriter.h"

namespace cisrv::test {
namespace {

// While `failing` is set, every write of a file opened after construction
// fails with an I/O error: the default VFS, registered again under another name as
// the default, hands its files copies of their methods with xWrite replaced.
class FailingDisk {
public:
    FailingDisk() : m_base(sqlite3_vfs_find(nullptr)), m_vfs(*m_base) {
        s_instance = this;
        m_vfs.zName = "failing-disk";
        m_vfs.xOpen = &open;
        sqlite3_vfs_register(&m_vfs, 1);
    }
    ~FailingDisk() {
        sqlite3_vfs_unregister(&m_vfs);
        s_instance = nullptr;
    }
    std::atomic<bool> failing{false};

private:
    struct Methods {
        sqlite3_io_methods copy;  // first: a file's pMethods points here
        const sqlite3_io_methods* real;
    };

    static int open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
        FailingDisk& self = *s_instance;
        const int rc = self.m_base->xOpen(self.m_base, name, file, flags, outFlags);
        if (rc == SQLITE_OK && file->pMethods != nullptr) {
            const auto [entry, added] = self.m_copies.try_emplace(file->pMethods);
            if (added) {
                entry->second = Methods{*file->pMethods, file->pMethods};
                entry->second.copy.xWrite = &write;
            }
            file->pMethods = &entry->second.copy;
        }
        return rc;
    }
    static int write(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
        if (s_instance->failing) {
            return SQLITE_IOERR_WRITE;
        }
        const auto* methods = reinterpret_cast<const Methods*>(file->pMethods);
        return methods->real->xWrite(file, data, amount, offset);
    }

    static inline FailingDisk* s_instance = nullptr;
    sqlite3_vfs* m_base;
    sqlite3_vfs m_vfs;
    std::map<const sqlite3_io_methods*, Methods> m_copies;
};

class IndexWriterTest : public IndexAndLogTest {
protected:
    void addArchiveFiles(int count) {
        ASSERT_FALSE(store->begin().IsError());
        Document fields;
        for (int i = 1; i <= count; ++i) {
            fields.archiveFileId = i;
            addDocument(*store, "/f/" + std::to_string(i), fields);
        }
        ASSERT_FALSE(store->commit().IsError());
    }
};

TEST_F(IndexWriterTest, EraseResultArrivesOnlyAfterItsCommit) {
    addDocument(*store, "/gone/1");
    addDocument(*store, "/kept/1");
    IndexWriter writer(*store, *log, {});
    EraseScope scope;
    scope.path = "/gone";
    const IndexWriter::EraseResult result = writer.erase(scope).get();
    ASSERT_FALSE(result.status.IsError()) << result.status.AsString();
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
        for (int i = 1; i <= 500; ++i) {
            writer.prune(PruneScope{i, 0, 0}, "test");
        }
        writer.flush();
        EXPECT_EQ(countDocuments(file), 100);
        EXPECT_LE(writer.commits(), 2u);
    }
    limits.maxBatch = 10;
    IndexWriter writer(*store, *log, limits);
    for (int i = 501; i <= 600; ++i) {
        writer.prune(PruneScope{i, 0, 0}, "test");
    }
    writer.flush();
    EXPECT_EQ(countDocuments(file), 0);
    EXPECT_GE(writer.commits(), 10u);
}

// Sessions that erase one path after the other: a lone one is never held up
// (the linger is far beyond the test's bound), several share their commits.
TEST_F(IndexWriterTest, ErasesOfConcurrentSessionsShareCommitsAndALoneOneNeverWaits) {
    constexpr int kSessions = 4;
    constexpr int kErasesEach = 50;
    for (int i = 0; i < kSessions * kErasesEach + 20; ++i) {
        addDocument(*store, "/d/" + std::to_string(i));
    }
    IndexWriter::Limits limits;
    limits.linger = std::chrono::seconds(5);
    IndexWriter writer(*store, *log, limits);
    // A session's next erase comes a network round trip after the answer.
    const auto eraseSome = [&writer](int first, int count) {
        for (int i = first; i < first + count; ++i) {
            EraseScope scope;
            scope.path = "/d/" + std::to_string(i);
            EXPECT_EQ(writer.erase(scope).get().removed, 1);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    };
    const auto started = std::chrono::steady_clock::now();
    eraseSome(kSessions * kErasesEach, 20);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));

    const uint64_t before = writer.commits();
    std::vector<std::thread> sessions;
    for (int s = 0; s < kSessions; ++s) {
        sessions.emplace_back(eraseSome, s * kErasesEach, kErasesEach);
    }
    for (std::thread& session : sessions) {
        session.join();
    }
    // Four to a commit gives 50; sessions left to meet by chance share about
    // one commit in two (100), and pairs that alternate stay at two for good.
    EXPECT_LE(writer.commits() - before, static_cast<uint64_t>(kSessions * kErasesEach * 2 / 5));
}

// A lock held beyond the wait fails the whole batch: the erase is answered as
// failed, each prune is logged and counted for its sender. A lock released
// within the wait only delays the batch.
TEST_F(IndexWriterTest, LockHeldBeyondTheWaitFailsTheBatchAndCountsLostPrunes) {
    addDocument(*store, "/a/1");
    addArchiveFiles(2);
    IndexWriter::Limits limits;
    limits.lockWait = std::chrono::milliseconds(100);
    IndexWriter writer(*store, *log, limits);
    EraseScope scope;
    scope.path = "/a";
    const auto losses = std::make_shared<std::atomic<uint64_t>>(0);

    LockHolder holder(file);
    writer.prune(PruneScope{1, 0, 0}, "session 7", losses);
    writer.prune(PruneScope{2, 0, 0}, "session 7", losses);
    const IndexWriter::EraseResult blocked = writer.erase(scope).get();
    EXPECT_NE(blocked.status.AsString().find("locked"), std::string::npos)
        << blocked.status.AsString();
    writer.flush();
    EXPECT_EQ(losses->load(), 2u);
    EXPECT_NE(readFile(logFile).find("session 7: prune archive file 2 (cloud 0, cell 0) failed: "),
              std::string::npos);

    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        holder.release();
    });
    IndexWriter::Limits patient;
    patient.lockWait = std::chrono::seconds(30);
    IndexWriter waiting(*store, *log, patient);
    const IndexWriter::EraseResult delayed = waiting.erase(scope).get();
    releaser.join();
    EXPECT_FALSE(delayed.status.IsError()) << delayed.status.AsString();
    EXPECT_EQ(delayed.removed, 1);
}

// When SQLite rolls the whole transaction back in the middle of a batch (here
// after an I/O error), every earlier change of the batch went
// with it and is answered as failed; the documents are all still there.
TEST_F(IndexWriterTest, TransactionRolledBackMidBatchFailsEveryEarlierErase) {
    Document small;
    small.clientId = 1;
    Document large;
    large.clientId = 2;
    const std::string padding(300, 'p');
    ASSERT_FALSE(store->begin().IsError());
    for (int i = 0; i < 10000; ++i) {
        addDocument(*store, "/d/" + std::to_string(i) + padding, i % 2 == 0 ? small : large);
    }
    ASSERT_FALSE(store->commit().IsError());
    store.reset();
    // A small page cache, so that the large erase spills to the log file.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA default_cache_size = 100", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    FailingDisk disk;
    const auto onDisk = openIndex(file);
    IndexWriter writer(*onDisk, *log, {});
    EraseScope first;
    first.clientId = 1;
    first.path = "/d/0" + padding;
    EraseScope second;
    second.clientId = 2;
    second.path = "/d";

    LockHolder holder(file);  // both erases queue up for one batch
    auto firstResult = writer.erase(first);
    auto secondResult = writer.erase(second);
    disk.failing = true;
    holder.release();
    const IndexWriter::EraseResult firstDone = firstResult.get();
    const IndexWriter::EraseResult secondDone = secondResult.get();
    disk.failing = false;
    EXPECT_TRUE(secondDone.status.IsError()) << secondDone.status.AsString();
    EXPECT_NE(firstDone.status.AsString().find("rolled back after a later failure"),
              std::string::npos)
        << firstDone.status.AsString();
    EXPECT_EQ(countDocuments(file), 10000);
}

TEST_F(IndexWriterTest, StopCommitsQueuedPrunesAndRefusesLaterWork) {
    addArchiveFiles(50);
    IndexWriter::Limits limits;
    limits.linger = std::chrono::seconds(30);  // only the stop can end the batch early
    IndexWriter writer(*store, *log, limits);
    for (int i = 1; i <= 50; ++i) {
        writer.prune(PruneScope{i, 0, 0}, "test");
    }
    writer.stop();
    EXPECT_EQ(countDocuments(file), 0);
    EraseScope scope;
    scope.path = "/f";
    EXPECT_TRUE(writer.erase(scope).get().status.IsError());
}

}  // namespace
}  // namespace cisrv::test
