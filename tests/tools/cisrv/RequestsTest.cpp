// Reading requests as the session library delivers them, and the response.
#include <gtest/gtest.h>

#include <cstring>

#include "CisrvTestSupport.h"
#include "cisrv/Requests.h"

namespace cisrv::test {
namespace {

// The buffer a server receives for `record`: encoded and decoded by tqsession.
void throughTheWire(uint32_t code, const char* record, unsigned long length, tqsDatabuf_v2& out) {
    size_t bodyLength = 0;
    ASSERT_FALSE(tqsession::measureBody(code, record, length, bodyLength).IsError());
    std::vector<char> body(bodyLength);
    ASSERT_FALSE(tqsession::encodeBody(code, record, length, body.data(), bodyLength).IsError());
    ASSERT_FALSE(tqsession::decodeBody(code, body.data(), bodyLength, out).IsError());
}

CYxError readErase(const EraseFields& fields, EraseScope& scope) {
    std::string path = fields.path;
    tqmsg::EraseDataReq record{};
    record.vornCellNumber = fields.cellNumber;
    record.clientId = fields.clientId;
    record.appType = fields.appType;
    record.path = &path[0];
    record.eraseKind = fields.eraseKind;
    tqsDatabuf_v2 buffer;
    throughTheWire(tqmsg::kEraseDataReq, reinterpret_cast<const char*>(&record),
                   sizeof record + path.size() + 1, buffer);
    return readEraseRequest(buffer.getDataBuffer(), buffer.getValidLen(), scope);
}

TEST(RequestsTest, ClientIdSelectsClientDataOrMigratedData) {
    EraseScope scope;
    ASSERT_FALSE(readErase({4, 12, 33, "/srv/data", tqmsg::kEraseKindData}, scope).IsError());
    EXPECT_EQ(scope.owner, EraseScope::Owner::ClientData);
    EXPECT_EQ(scope.clientId, 12);
    EXPECT_EQ(scope.appType, 33);
    EXPECT_EQ(scope.cellNumber, 4);
    EXPECT_EQ(scope.path, "/srv/data");

    EraseScope migrated;
    ASSERT_FALSE(readErase({4, 0, 77, "/archive", tqmsg::kEraseKindData}, migrated).IsError());
    EXPECT_EQ(migrated.owner, EraseScope::Owner::MigratedData);
    EXPECT_EQ(migrated.applicationId, 77);

    EraseScope ruRizoze;
    EXPECT_FALSE(readErase({4, 12, 33, "/r", tqmsg::kEraseKindRuRizoze}, ruRizoze).IsError());
}

TEST(RequestsTest, RequestsThatCannotBeCarriedOutSayWhy) {
    EraseScope scope;
    EXPECT_NE(readErase({1, 2, 3, "/p", 5}, scope).AsString().find("unknown erase kind 5"),
              std::string::npos);
    EXPECT_EQ(scope.path, "/p");  // still described in the log
    EXPECT_NE(readErase({1, 2, 3, "", 0}, scope).AsString().find("empty path"), std::string::npos);
    EXPECT_TRUE(readErase({1, 0, 3, "/p", tqmsg::kEraseKindRuRizoze}, scope).IsError());

    // Records the decoder never produces are refused without reading past them.
    char bytes[sizeof(tqmsg::EraseDataReq) + 4];
    std::memset(bytes, 'x', sizeof bytes);
    EXPECT_TRUE(readEraseRequest(bytes, sizeof bytes, scope).IsError());  // path without NUL
    EXPECT_TRUE(readEraseRequest(bytes, sizeof(tqmsg::EraseDataReq), scope).IsError());
    EXPECT_TRUE(readEraseRequest(nullptr, 0, scope).IsError());
    PruneScope prune;
    EXPECT_TRUE(readPruneRequest(bytes, sizeof bytes, prune).IsError());
}

TEST(RequestsTest, PruneAndResponseSurviveTheWire) {
    tqmsg::AfPruneReq record{};
    record.cloudId = 5;
    record.vornCellNumber = 2;
    record.archiveFileId = 1LL << 40;
    tqsDatabuf_v2 buffer;
    throughTheWire(tqmsg::kAfPruneReq, reinterpret_cast<const char*>(&record), sizeof record,
                   buffer);
    PruneScope scope;
    ASSERT_FALSE(readPruneRequest(buffer.getDataBuffer(), buffer.getValidLen(), scope).IsError());
    EXPECT_EQ(scope.archiveFileId, 1LL << 40);
    EXPECT_EQ(scope.cloudId, 5);
    EXPECT_EQ(scope.cellNumber, 2);

    for (const bool erased : {true, false}) {
        const tqmsg::EraseDataResp response = makeEraseResponse(erased);
        tqsDatabuf_v2 decoded;
        throughTheWire(tqmsg::kEraseDataResp, reinterpret_cast<const char*>(&response),
                       sizeof response, decoded);
        tqmsg::EraseDataResp received;
        ASSERT_EQ(decoded.getValidLen(), sizeof received);
        std::memcpy(&received, decoded.getDataBuffer(), sizeof received);
        EXPECT_EQ(received.status, erased ? 1 : 0);
    }
}

TEST(RequestsTest, LoggedPathsStayOneReadableLine) {
    EraseScope scope;
    scope.path = "/caf\xC3\xA9/a\nb\\c\x01\xFF\xC3";
    EXPECT_EQ(describe(scope),
              "erase \"/caf\xC3\xA9/a\\nb\\\\c\\x01\\xFF\\xC3\" (client 0, app type 0, cell 0)");
    scope.path = "/" + std::string(5000, 'a');
    EXPECT_NE(describe(scope).find("aaa...(5001 bytes)"), std::string::npos);
    EXPECT_LT(describe(scope).size(), 1200u);
}

}  // namespace
}  // namespace cisrv::test
