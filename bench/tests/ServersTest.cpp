// The reference CI server as the benchmarks drive it, the directory cell they
// set up, and the reading of redis-benchmark's figure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <list>
#include <stdexcept>
#include <string>

#include "ArchiveManager.h"
#include "BenchCell.h"
#include "Process.h"
#include "Servers.h"
#include "TQAppMgr.h"

namespace bench {
namespace {

std::string builtProgram(const char* name) {
    const std::string path = programDirectory() + "/" + name;
    return ::access(path.c_str(), X_OK) == 0 ? path : std::string();
}

TEST(RedisRateTest, TheFigureIsReadFromTheLastResultLine) {
    EXPECT_DOUBLE_EQ(parseRedisRate("PING_INLINE: 41152.26 requests per second, p50=0.023 msec\n"),
                     41152.26);
    // Progress lines end in carriage returns and carry no figure of their own.
    EXPECT_DOUBLE_EQ(parseRedisRate("PING_INLINE: rps=0.0 (overall: nan) avg_msec=nan\r"
                                    "PING_INLINE: 39525.69 requests per second\n"),
                     39525.69);
}

TEST(RedisRateTest, OutputWithoutAFigureIsRefused) {
    EXPECT_THROW(parseRedisRate(""), std::runtime_error);
    EXPECT_THROW(parseRedisRate("Could not connect to Redis at 127.0.0.1:1: Connection refused\n"),
                 std::runtime_error);
    EXPECT_THROW(parseRedisRate("PING_INLINE: fast requests per second\n"), std::runtime_error);
    EXPECT_THROW(parseRedisRate("PING_INLINE: 0.00 requests per second\n"), std::runtime_error);
}

class CiServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (m_cisrv.empty()) GTEST_SKIP() << "cisrv is not built beside the tests";
    }
    std::string documentCount() const {
        std::string count;
        runProgram({m_cisrv, "count", "--index", m_folder.path() + "/ci.db"}, &count);
        return count;
    }

    const std::string m_cisrv = builtProgram("cisrv");
    TempDir m_folder{"tqci-bench-ci-"};
};

TEST_F(CiServerTest, EveryConfirmedEraseRemovesADocumentInACommitOfItsOwn) {
    CiServer server(m_cisrv, m_folder.path(), 5);
    EXPECT_EQ(documentCount(), "6\n");  // the five and the document that created the index
    CiSession session(server.port());
    std::string path;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(server.takePath(path));
        EXPECT_TRUE(session.erase(path)) << path;
    }
    EXPECT_EQ(server.pathsTaken(), 2u);
    EXPECT_EQ(server.pathsLeft(), 3u);
    EXPECT_EQ(documentCount(), "4\n");
    // One session waits for each answer: nothing can share its commit.
    EXPECT_EQ(server.stop(), 2);
}

TEST_F(CiServerTest, PathsRunOutWithTheIndexedDocuments) {
    CiServer server(m_cisrv, m_folder.path(), 2);
    std::string first;
    std::string second;
    std::string none = "untouched";
    EXPECT_TRUE(server.takePath(first));
    EXPECT_TRUE(server.takePath(second));
    EXPECT_NE(first, second);
    EXPECT_FALSE(server.takePath(none));
    EXPECT_EQ(none, "untouched");
    EXPECT_EQ(server.pathsLeft(), 0u);
    EXPECT_EQ(server.pathsTaken(), 2u);
}

class BenchCellTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (builtProgram("tqdir").empty()) GTEST_SKIP() << "tqdir is not built beside the tests";
    }
};

TEST_F(BenchCellTest, TheLibrarySeesTheCloudsAndServersOfTheCell) {
    BenchCell cell;
    EXPECT_EQ(std::string(std::getenv("TQ_DIRECTORY_DB")), cell.root() + "/directory.db");
    EXPECT_EQ(std::string(std::getenv("TQ_LOG_DIR")), cell.logFolder());
    cell.addCloud(7, 107, "127.0.0.1:9");
    cell.addCloud(8, 108, "127.0.0.1:10");
    cell.addIndexedClient(70, {8, 7});

    std::string host;
    EXPECT_EQ(TQClient(BenchCell::kCellId, 107).getMangledHostName(host, nullptr), 0);
    EXPECT_EQ(host, "127.0.0.1:9");
    std::list<unsigned long> members;
    std::list<unsigned long> properties;
    std::string name;
    ASSERT_EQ(ContentIndexEngine(8).getCloudClientList(members, properties, name, nullptr), 0);
    EXPECT_EQ(members, std::list<unsigned long>{108});
    EXPECT_EQ(properties, std::list<unsigned long>{1});  // the cloud's CI server
    GetContentIndexEngineListArgs_t args;
    args.clientId = 70;
    args.appType = BenchCell::kAppType;
    GetContentIndexEngineListRet_t clouds;
    EXPECT_EQ(ArchiveManagerCS(nullptr).getContentIndexEngineList(&args, &clouds), 2);
    EXPECT_EQ(clouds.engineIds, (std::vector<int>{8, 7}));
}

TEST_F(BenchCellTest, LogsAreEmptiedAndTheCellRemoved) {
    std::string root;
    {
        BenchCell cell;
        root = cell.root();
        std::filesystem::create_directories(cell.logFolder());
        const std::string log = cell.logFolder() + "/CIHelper.log";
        std::ofstream(log) << "a line\n";
        cell.truncateLogs();
        EXPECT_EQ(std::filesystem::file_size(log), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists(root));
}

}  // namespace
}  // namespace bench
