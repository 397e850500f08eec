// Erasing the index entries of RuRizoze data: the caller brings the cell
// number and the cloud; the wrapper's server list grows across clients.

#include "HelperTestSupport.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class EraseRuRizozeTest : public HelperTest {
protected:
    InspectableWrapper wrapper;
};

TEST_F(EraseRuRizozeTest, RequestIsOfKindEighteenWithTheCallersCellNumber) {
    serveClouds({3});
    ASSERT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 5, 2, 3, "/r/p"), 0);
    const auto sent = fake::sentWithCode(tqmsg::kEraseDataReq);
    ASSERT_EQ(sent.size(), 1u);
    const auto request = sent[0].eraseRequest();
    EXPECT_EQ(request.vornCellNumber, 321);
    EXPECT_EQ(request.clientId, 5);
    EXPECT_EQ(request.appType, 2);
    EXPECT_EQ(request.eraseKind, 18);
    EXPECT_EQ(sent[0].path, "/r/p");
    EXPECT_EQ(wrapper.vornCellNumber, 0);
    EXPECT_THAT(fake::callsStartingWith("getVornCellNumber"), IsEmpty());
    EXPECT_THAT(lines(),
                ElementsAre("List of client that form the cloud [2]", "CI CDS client id is [103]"));
}

TEST_F(EraseRuRizozeTest, ClientZeroOnAFreshWrapperSendsNothing) {
    EXPECT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 0, 2, 3, "/r"), 0);
    EXPECT_THAT(fake::callsStartingWith("getCloudClientList"), IsEmpty());
    EXPECT_THAT(fake::world().sent, IsEmpty());
}

TEST_F(EraseRuRizozeTest, SameClientIgnoresTheCloudAndNewClientsAppend) {
    serveClouds({3, 4, 6});
    ASSERT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 5, 2, 3, "/r"), 0);
    ASSERT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 5, 2, 4, "/r"), 0);
    ASSERT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 6, 2, 6, "/r"), 0);
    EXPECT_THAT(wrapper.ciServerClientIds, ElementsAre(103, 106));
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S2", "S2", "S3"));
    EXPECT_EQ(fake::callsStartingWith("getCloudClientList").size(), 2u);
}

TEST_F(EraseRuRizozeTest, UnresolvableCloudFailsWithoutTouchingTheCache) {
    EXPECT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 5, 2, 3, "/r"), 1);
    EXPECT_EQ(wrapper.currentClientId, 0);
    EXPECT_TRUE(wrapper.ciServerClientIds.empty());
    EXPECT_THAT(lines(), ElementsAre("Failed to get clould client properties. cloud[3]"));
}

TEST_F(EraseRuRizozeTest, ZeroStatusLeavesLaterServersUncontacted) {
    serveClouds({3, 4});
    ASSERT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 5, 2, 3, "/r"), 0);
    fake::Reply zero;
    zero.status = 0;
    fake::world().replies = {zero};
    EXPECT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 6, 2, 4, "/r"), 1);
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S2"));
    EXPECT_TRUE(
        logged("Received [0] as the status code from client [6], Apptype [2], CIServer [103]"));
}

// Only the steps it calls write lines: not the backup erase's session line.
TEST_F(EraseRuRizozeTest, UnreachableServerFailsWithTheAttachLinesAlone) {
    serveClouds({3});
    fake::world().attachErrors["host-103"] = -9;
    EXPECT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 5, 2, 3, "/r"), 1);
    EXPECT_TRUE(logged("Failed to attach to the CI server [103]!!!"));
    EXPECT_FALSE(logged("Failed to get the client session the CI server admin node"));
}

TEST_F(EraseRuRizozeTest, ReusesTheServersOfABackupEraseForTheSameClient) {
    scriptClientClouds(5, 2, {1, 2});
    ASSERT_EQ(wrapper.eraseBackupData(kCell, 5, 2, "/a", false), 0);
    ASSERT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 5, 2, 77, "/r"), 0);
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S3", "S2", "S3"));
    EXPECT_THAT(fake::callsStartingWith("getCloudClientList 77"), IsEmpty());
}

// Once a RuRizoze erase has added a server, the list is no longer the servers
// of one client's data of one type: the next backup erase resolves again.
TEST_F(EraseRuRizozeTest, AppendedServerIsNotReusedByTheNextBackupErase) {
    serveClouds({3});
    scriptClientClouds(5, 2, {1});
    ASSERT_EQ(wrapper.eraseBackupData(kCell, 5, 2, "/a", false), 0);
    ASSERT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 6, 2, 3, "/r"), 0);
    ASSERT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 6, 2, 3, "/r"), 0);
    ASSERT_EQ(wrapper.eraseBackupData(kCell, 6, 2, "/a", false), 0);
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S2", "S3", "S2", "S3"));
    EXPECT_EQ(fake::callsStartingWith("CS.").size(), 2u);
    EXPECT_TRUE(wrapper.ciServerClientIds.empty());
}

TEST_F(EraseRuRizozeTest, LaterBackupEraseLooksTheCellNumberUp) {
    serveClouds({3});
    scriptClientClouds(5, 2, {1});
    ASSERT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 7, 2, 3, "/r"), 0);
    ASSERT_EQ(wrapper.eraseBackupData(kCell, 5, 2, "/a", false), 0);
    const auto sent = fake::sentWithCode(tqmsg::kEraseDataReq);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].eraseRequest().vornCellNumber, kCellNumber);
}

TEST_F(EraseRuRizozeTest, NullPathIsRefused) {
    serveClouds({3});
    EXPECT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, 5, 2, 3, nullptr), 1);
    EXPECT_THAT(fake::world().sent, IsEmpty());
    EXPECT_THAT(
        lines(),
        ElementsAre(
            "Refusing to erase RuRizoze CI data of client [5] app type [2]: the path is null."));
}

}  // namespace
