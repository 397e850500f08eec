// The server as its clients see it, over 127.0.0.1: attaching, erases and
// their answers, prunes, and sessions that break the protocol.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "CisrvTestSupport.h"

namespace cisrv::test {
namespace {

class ServerProtocolTest : public ::testing::Test {
protected:
    TemporaryFolder dir;

    void addClientDocuments(const std::vector<std::string>& paths, int32_t clientId = 5,
                            int32_t appType = 3, int32_t cell = 2) {
        auto store = openIndex(dir.file("index.db"));
        Document fields;
        fields.clientId = clientId;
        fields.appType = appType;
        fields.cellNumber = cell;
        for (const std::string& path : paths) {
            addDocument(*store, path, fields);
        }
    }
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(ServerProtocolTest, AttachIsAcceptedOnlyForTheOfferedService) {
    InProcessServer server(dir);
    TestClient good;
    EXPECT_FALSE(good.attach(server.port(), "sLNIDXMA", "sLPIDXMA", "host-a").IsError());

    TestClient wrong;
    const CYxError refused = wrong.attach(server.port(), "sLNIDXMA", "other");
    EXPECT_EQ(refused.Code(), tqerr::kServiceRefused);
    EXPECT_TRUE(contains(refused.AsString(), "\"sLNIDXMA/other\" is not offered here"))
        << refused.AsString();
    EXPECT_TRUE(contains(refused.AsString(), "offers sLNIDXMA/sLPIDXMA")) << refused.AsString();
    EXPECT_TRUE(eventually([&] { return contains(server.logText(), "local name \"host-a\""); }));

    TemporaryFolder otherDir;
    ServerConfig custom;
    custom.serviceLibrary = "LIBX";
    custom.serviceEntry = "ENTRYX";
    InProcessServer customServer(otherDir, custom);
    TestClient defaultService;
    EXPECT_EQ(defaultService.attach(customServer.port()).Code(), tqerr::kServiceRefused);
    TestClient customService;
    EXPECT_FALSE(customService.attach(customServer.port(), "LIBX", "ENTRYX").IsError());
}

TEST_F(ServerProtocolTest, EraseIsAnsweredAfterTheDocumentsAreGone) {
    addClientDocuments({"/data/x", "/data/x/1", "/data/x/2", "/data/xy"});
    InProcessServer server(dir);
    TestClient client;
    ASSERT_FALSE(client.attach(server.port()).IsError());

    EXPECT_EQ(client.erase({2, 5, 3, "/data/x", tqmsg::kEraseKindData}), 1);
    EXPECT_EQ(pathsIn(server.indexFile()), std::vector<std::string>{"/data/xy"});
    EXPECT_EQ(client.erase({2, 5, 3, "/nothing/here", tqmsg::kEraseKindRuRizoze}), 1);
    // Requests that cannot be carried out are answered 0; the session goes on.
    EXPECT_EQ(client.erase({2, 5, 3, "/data/xy", 9}), 0);
    EXPECT_EQ(client.erase({2, 5, 3, "", tqmsg::kEraseKindData}), 0);
    EXPECT_EQ(client.erase({2, 5, 3, "/data/xy", tqmsg::kEraseKindData}), 1);
    EXPECT_EQ(countDocuments(server.indexFile()), 0);

    const std::string log = server.logText();
    EXPECT_TRUE(
        contains(log, "erase \"/data/x\" (client 5, app type 3, cell 2): 3 documents removed"))
        << log;
    EXPECT_TRUE(contains(log, "unknown erase kind 9")) << log;
}

TEST_F(ServerProtocolTest, ReadOnlyServerAnswersZeroAndChangesNothing) {
    addClientDocuments({"/ro/1"});
    ServerConfig config;
    config.readOnly = true;
    InProcessServer server(dir, config);
    TestClient client;
    ASSERT_FALSE(client.attach(server.port()).IsError());
    EXPECT_EQ(client.erase({2, 5, 3, "/ro", tqmsg::kEraseKindData}), 0);
    EXPECT_FALSE(client.sendPrune(0, 0, 2).IsError());
    EXPECT_FALSE(client.closeGracefully().IsError());
    EXPECT_EQ(countDocuments(server.indexFile()), 1);
    EXPECT_TRUE(contains(server.logText(), "not carried out: index is read-only"));
    EXPECT_TRUE(contains(server.logText(), "ignored: index is read-only"));
}

TEST_F(ServerProtocolTest, EveryPruneBeforeAGracefulCloseIsCommittedInFewTransactions) {
    constexpr int kPrunes = 1000;
    {
        auto store = openIndex(dir.file("index.db"));
        ASSERT_FALSE(store->begin().IsError());
        Document fields;
        fields.cloudId = 4;
        fields.cellNumber = 2;
        for (int i = 1; i <= kPrunes; ++i) {
            fields.archiveFileId = i;
            addDocument(*store, "/af/" + std::to_string(i), fields);
        }
        addDocument(*store, "/af/other-cloud", Document{0, "", 0, 0, 0, 1, 5, 2, ""});
        ASSERT_FALSE(store->commit().IsError());
    }
    InProcessServer server(dir);
    TestClient client;
    ASSERT_FALSE(client.attach(server.port()).IsError());
    for (int i = 1; i <= kPrunes; ++i) {
        ASSERT_FALSE(client.sendPrune(i, 4, 2).IsError());
    }
    ASSERT_FALSE(client.closeGracefully().IsError());

    // The server closes only after committing: nothing may be left.
    EXPECT_EQ(pathsIn(server.indexFile()), std::vector<std::string>{"/af/other-cloud"});
    EXPECT_LT(server.commits(), 100u);
}

// Prunes are one-way: a session whose prunes could not be committed is reset,
// so its peer's graceful close fails; a session that sent none closes as usual.
TEST_F(ServerProtocolTest, SessionWhosePrunesWereLostIsReset) {
    openIndex(dir.file("index.db"));
    ServerConfig config;
    config.writer.lockWait = std::chrono::milliseconds(200);
    InProcessServer server(dir, config);
    TestClient pruning;
    TestClient bystander;
    ASSERT_FALSE(pruning.attach(server.port()).IsError());
    ASSERT_FALSE(bystander.attach(server.port()).IsError());

    LockHolder holder(server.indexFile());
    ASSERT_FALSE(pruning.sendPrune(71, 4, 2).IsError());
    ASSERT_FALSE(pruning.sendPrune(72, 4, 2).IsError());
    EXPECT_EQ(bystander.erase({2, 5, 3, "/x", tqmsg::kEraseKindData}), 0);
    const CYxError closed = pruning.closeGracefully();
    holder.release();
    EXPECT_EQ(closed.Code(), tqerr::kPeerClosed) << closed.AsString();
    EXPECT_FALSE(bystander.closeGracefully().IsError());

    EXPECT_TRUE(eventually([&] {
        return contains(server.logText(), "connection reset: 2 prunes not carried out");
    })) << server.logText();
    EXPECT_TRUE(contains(server.logText(), "prune archive file 72 (cloud 4, cell 2) failed: "));
}

// A client offering version 2 learns from the server's answer to its close
// whether every request was carried out; an older client is accepted as
// version 1 and closed as before.
TEST_F(ServerProtocolTest, ConfirmedCloseCountsTheRequestsAndTellsOfLostPrunes) {
    openIndex(dir.file("index.db"));
    ServerConfig config;
    config.writer.lockWait = std::chrono::milliseconds(200);
    InProcessServer server(dir, config);
    TestClient confirmed;
    TestClient older;
    confirmed.offeredVersion = tqsession::kCloseConfirmVersion;
    ASSERT_FALSE(confirmed.attach(server.port()).IsError());
    ASSERT_FALSE(older.attach(server.port()).IsError());
    EXPECT_TRUE(confirmed.connection.confirmsClose());
    EXPECT_FALSE(older.connection.confirmsClose());
    ASSERT_FALSE(confirmed.sendPrune(71, 4, 2).IsError());
    EXPECT_EQ(confirmed.erase({2, 5, 3, "/x", tqmsg::kEraseKindData}), 1);
    EXPECT_FALSE(confirmed.closeGracefully().IsError());
    EXPECT_FALSE(older.closeGracefully().IsError());

    TestClient losing;
    losing.offeredVersion = tqsession::kCloseConfirmVersion;
    ASSERT_FALSE(losing.attach(server.port()).IsError());
    LockHolder holder(server.indexFile());
    ASSERT_FALSE(losing.sendPrune(72, 4, 2).IsError());
    ASSERT_FALSE(losing.sendPrune(73, 4, 2).IsError());
    const CYxError closed = losing.closeGracefully();
    holder.release();
    EXPECT_EQ(closed.Code(), tqerr::kIo) << closed.AsString();
    EXPECT_TRUE(
        contains(closed.AsString(), "confirmed 2 of the 2 messages sent, 2 not carried out"))
        << closed.AsString();
    EXPECT_TRUE(eventually([&] {
        return contains(server.logText(), "close confirmed: 2 prunes not carried out");
    })) << server.logText();
}

// Raw bytes that break the protocol in different ways, each sent by a client
// of its own while a well-behaved session keeps working.
struct Violation {
    const char* name;
    bool attachFirst;
    std::vector<unsigned char> bytes;
    const char* logged;
};

std::vector<unsigned char> frame(uint32_t code, std::vector<unsigned char> body) {
    std::vector<unsigned char> bytes(tqsession::kFrameHeaderSize);
    tqsession::encodeFrameHeader(code, static_cast<uint32_t>(body.size()), bytes.data());
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

TEST_F(ServerProtocolTest, SessionsBreakingTheProtocolAreDroppedAlone) {
    addClientDocuments({"/keep/1", "/erase/1"});
    InProcessServer server(dir);
    TestClient good;
    ASSERT_FALSE(good.attach(server.port()).IsError());

    const std::vector<unsigned char> garbage = {'G', 'E', 'T', ' ', '/', ' ',  'H',  'T',  'T',
                                                'P', '/', '1', '.', '1', '\r', '\n', '\r', '\n'};
    const Violation violations[] = {
        {"garbage before the hello", false, garbage, "bad frame magic"},
        {"request before the hello", false,
         frame(tqmsg::kAfPruneReq, std::vector<unsigned char>(44)), "expected a hello"},
        {"garbage after attaching", true, garbage, "protocol error"},
        {"undecodable erase", true, frame(tqmsg::kEraseDataReq, {0, 0, 0, 1}), "malformed body"},
        {"unknown message", true, frame(0x0E000799, {0, 0, 0, 0}), "unexpected message 0x0E000799"},
        {"a second hello", true, frame(tqsession::kHelloCode, {0, 0, 0, 1}),
         "unexpected message 0x7E510001"},
    };
    for (const Violation& violation : violations) {
        SCOPED_TRACE(violation.name);
        TestClient bad;
        ASSERT_FALSE(
            (violation.attachFirst ? bad.attach(server.port()) : bad.connectOnly(server.port()))
                .IsError());
        ASSERT_EQ(::send(bad.connection.fd(), violation.bytes.data(), violation.bytes.size(),
                         MSG_NOSIGNAL),
                  static_cast<ssize_t>(violation.bytes.size()));
        EXPECT_TRUE(bad.seesServerClose());
        EXPECT_TRUE(eventually([&] { return contains(server.logText(), violation.logged); }))
            << server.logText();
    }
    EXPECT_EQ(good.erase({2, 5, 3, "/erase", tqmsg::kEraseKindData}), 1);
    EXPECT_EQ(pathsIn(server.indexFile()), std::vector<std::string>{"/keep/1"});
}

TEST_F(ServerProtocolTest, SessionsBeyondTheLimitAreRefusedUntilOneEnds) {
    ServerConfig config;
    config.maxSessions = 1;
    InProcessServer server(dir, config);
    TestClient first;
    ASSERT_FALSE(first.attach(server.port()).IsError());
    TestClient second;
    const CYxError busy = second.attach(server.port());
    EXPECT_EQ(busy.Code(), tqerr::kServiceRefused);
    EXPECT_TRUE(contains(busy.AsString(), "server busy")) << busy.AsString();

    ASSERT_FALSE(first.closeGracefully().IsError());
    EXPECT_TRUE(eventually([&] {
        TestClient later;
        return !later.attach(server.port()).IsError();
    }));
}

}  // namespace
}  // namespace cisrv::test
