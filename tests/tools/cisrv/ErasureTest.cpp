// Erased means gone: page scrubbing, full-text shards, purge rounds and how
// erase log lines show paths.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "CisrvTestSupport.h"
#include "cisrv/IndexWriter.h"
#include "cisrv/PathLog.h"
#include "cisrv/Purger.h"
#include "cisrv/Requests.h"
#include "cisrv/ScrubVfs.h"

namespace cisrv::test {
namespace {

std::string folderBytes(const std::string& folder) {
    std::string bytes;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            bytes += readFile(entry.path().string());
        }
    }
    return bytes;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(ScrubVfsTest, ClearsOnlyTheUnusedSpaceOfWellFormedBtreePages) {
    constexpr size_t kPage = 4096;
    // A table leaf: one cell at 4000, a free block of 16 bytes at 3900.
    std::vector<unsigned char> leaf(kPage, 'x');
    const unsigned char header[] = {13, 0x0f, 0x3c, 0, 1, 0x0f, 0x3c, 0, 0x0f, 0xa0};
    std::copy(std::begin(header), std::end(header), leaf.begin());
    leaf[3900] = 0;
    leaf[3901] = 0;
    leaf[3902] = 0;
    leaf[3903] = 16;
    const std::vector<unsigned char> before = leaf;
    EXPECT_EQ(scrubBtreePage(leaf.data(), kPage, 2, 0), (3900 - 10) + 12u);
    EXPECT_TRUE(std::all_of(leaf.begin() + 10, leaf.begin() + 3904,
                            [](unsigned char b) { return b == 0 || b == 16; }));
    EXPECT_TRUE(std::equal(leaf.begin() + 3916, leaf.end(), before.begin() + 3916));

    std::vector<unsigned char> malformed = before;
    malformed[8] = 0x0e;  // a cell pointer below the content area
    EXPECT_EQ(scrubBtreePage(malformed.data(), kPage, 2, 0), 0u);
    std::vector<unsigned char> overflow = before;
    overflow[0] = 0;  // an overflow page starts with a page number
    EXPECT_EQ(scrubBtreePage(overflow.data(), kPage, 2, 0), 0u);
    EXPECT_EQ(overflow, [&] {
        auto page = before;
        page[0] = 0;
        return page;
    }());
}

class ErasureStoreTest : public IndexAndLogTest {
protected:
    std::mt19937 random{7};

    std::string word() {
        std::string text = "z";
        for (int i = 0; i < 11; ++i) {
            text += "bcdfghjklmnpqrstvwx"[random() % 19];
        }
        return text;
    }
};

// Many documents with words of their own, a third erased one by one between
// the others (page splits and merges move their cells around), then a purge
// round: none of their words or word tails is left, every other one is.
TEST_F(ErasureStoreTest, APurgeRoundLeavesNoByteOfErasedDocuments) {
    const std::string index = dir.file("own/index.db");
    std::filesystem::create_directory(dir.file("own"));
    store = openIndex(index);
    std::vector<Document> documents(6000);
    ASSERT_FALSE(store->begin().IsError());
    for (Document& document : documents) {
        const std::string unique = word();
        document.clientId = 1 + static_cast<int64_t>(random() % 40);
        document.path = "/h/" + std::to_string(random() % 30) + "/" + unique + "file.txt";
        document.text = "alpha " + unique + "word beta";
        document.id = addDocument(*store, document.path, document);
    }
    ASSERT_FALSE(store->commit().IsError());
    std::set<size_t> erased;
    while (erased.size() < 2500) {
        erased.insert(random() % documents.size());
    }
    ASSERT_FALSE(store->begin().IsError());
    int done = 0;
    for (const size_t i : erased) {
        EraseScope scope;
        scope.clientId = documents[i].clientId;
        scope.path = documents[i].path;
        int64_t removed = 0;
        ASSERT_FALSE(store->erase(scope, removed).IsError());
        ASSERT_EQ(removed, 1);
        if (++done % 50 == 0) {
            ASSERT_FALSE(store->commit().IsError());
            ASSERT_FALSE(store->begin().IsError());
        }
    }
    ASSERT_FALSE(store->commit().IsError());
    Purger(*store, *log, PurgeOptions(), 1s).finish();

    const std::string bytes = folderBytes(dir.file("own"));
    for (size_t i = 0; i < documents.size(); ++i) {
        const std::string unique = documents[i].path.substr(documents[i].path.rfind('/') + 1, 12);
        if (erased.count(i) > 0) {
            ASSERT_FALSE(contains(bytes, unique.substr(3))) << unique << " of document " << i;
        } else {
            ASSERT_TRUE(contains(bytes, unique)) << unique << " of document " << i;
        }
    }
    EXPECT_TRUE(contains(readFile(logFile), "1 of 1 full-text shards rewritten (0)"));
}

TEST_F(ErasureStoreTest, DocumentsBeyondAShardGoToTheNextAndOnlyErasedShardsAreListed) {
    addDocument(*store, "/a/first", Document{0, "", 0, 0, 0, 0, 0, 0, "shared"});
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE sqlite_sequence SET seq = 16382", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    for (int i = 0; i < 3; ++i) {
        addDocument(*store, "/b/" + std::to_string(i), Document{0, "", 0, 0, 0, 0, 0, 0, "shared"});
    }
    int64_t shards = 0;
    ASSERT_FALSE(store->shardCount(shards).IsError());
    EXPECT_EQ(shards, 2);
    SearchFilter filter;
    filter.match = "shared";
    EXPECT_EQ(pathsIn(file).size(), 4u);
    std::vector<std::string> found;
    ASSERT_FALSE(
        store->search(filter, [&](const Document& d) { found.push_back(d.path); }).IsError());
    EXPECT_EQ(found, (std::vector<std::string>{"/a/first", "/b/0", "/b/1", "/b/2"}));

    EraseScope scope;
    scope.path = "/b/2";
    int64_t removed = 0;
    ASSERT_FALSE(store->erase(scope, removed).IsError());
    std::vector<int64_t> erased;
    ASSERT_FALSE(store->erasedShards(erased).IsError());
    EXPECT_EQ(erased, (std::vector<int64_t>{1}));
    int64_t written = 0;
    ASSERT_FALSE(store->rewriteShard(1, written).IsError());
    ASSERT_FALSE(store->erasedShards(erased).IsError());
    EXPECT_TRUE(erased.empty());
}

// With a bound of 0 the answer waits for the purge: by then the log is
// truncated and no shard is left to rewrite.
TEST_F(ErasureStoreTest, WithABoundOfZeroTheEraseIsAnsweredAfterThePurge) {
    addDocument(*store, "/gone/1");
    addDocument(*store, "/kept/1");
    IndexWriter::Limits limits;
    limits.purge.within = 0s;
    IndexWriter writer(*store, *log, limits);
    EraseScope scope;
    scope.path = "/gone";
    ASSERT_EQ(writer.erase(scope).get().removed, 1);
    struct stat info {};
    EXPECT_TRUE(::stat((file + "-wal").c_str(), &info) != 0 || info.st_size == 0);
    std::vector<int64_t> erased;
    ASSERT_FALSE(openIndex(file)->erasedShards(erased).IsError());
    EXPECT_TRUE(erased.empty());
    EXPECT_TRUE(contains(readFile(logFile), "gone from the files (bound 0.00 s)"));
}

TEST(PathLogTest, ErasePathsAreShownHashedOrNotAtAll) {
    EraseScope scope;
    scope.path = "/home/ann/private";
    scope.clientId = 10;
    setPathLogging({PathLogging::Mode::Hash, "0123456789abcdef"});
    EXPECT_EQ(describe(scope), "erase " + pathHash("0123456789abcdef", scope.path) +
                                   " (client 10, app type 0, cell 0)");
    // HMAC-SHA256 test vector 2 of RFC 4231.
    EXPECT_EQ(pathHash("Jefe", "what do ya want for nothing?"),
              "hmac-sha256:5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    setPathLogging({PathLogging::Mode::No, ""});
    EXPECT_EQ(describe(scope), "erase [path not logged] (client 10, app type 0, cell 0)");
    setPathLogging({});
    EXPECT_EQ(describe(scope), "erase \"/home/ann/private\" (client 10, app type 0, cell 0)");

    TemporaryFolder dir;
    const std::string keyFile = dir.file("key");
    std::ofstream(keyFile) << "0123456789abcdef0123\n";
    ASSERT_EQ(::chmod(keyFile.c_str(), 0640), 0);
    std::string key;
    EXPECT_TRUE(contains(readPathKey(keyFile, key).AsString(), "chmod 600"));
    ASSERT_EQ(::chmod(keyFile.c_str(), 0600), 0);
    ASSERT_FALSE(readPathKey(keyFile, key).IsError());
    EXPECT_EQ(key, "0123456789abcdef0123");
}

}  // namespace
}  // namespace cisrv::test
