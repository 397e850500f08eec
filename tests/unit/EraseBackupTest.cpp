// Erasing the index entries of backed-up data: which servers receive what, in
// which order, where a call stops, and what later calls reuse.

#include "HelperTestSupport.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

constexpr int kClient = 5;
constexpr int kAppType = 2;

class EraseBackupTest : public HelperTest {
protected:
    InspectableWrapper wrapper;
};

TEST_F(EraseBackupTest, EveryCiServerReceivesTheRequestInCloudOrder) {
    scriptClientClouds(kClient, kAppType, {7, 3});
    ASSERT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/home/u/f.txt", false), 0);

    const auto sent = fake::sentWithCode(tqmsg::kEraseDataReq);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].session, "S2");
    EXPECT_EQ(sent[1].session, "S3");
    for (const auto& message : sent) {
        const auto request = message.eraseRequest();
        EXPECT_EQ(request.vornCellNumber, kCellNumber);
        EXPECT_EQ(request.clientId, kClient);
        EXPECT_EQ(request.reserved, 0);
        EXPECT_EQ(request.appType, kAppType);
        EXPECT_EQ(request.eraseKind, 0);
        EXPECT_EQ(request.padding, 0);
        EXPECT_EQ(message.path, "/home/u/f.txt");
        EXPECT_EQ(message.length, 32u + 13u + 1u);
        EXPECT_EQ(message.flags, 0);
        EXPECT_EQ(message.wait, -1);
    }
    EXPECT_THAT(fake::attachedHosts(), ElementsAre("host-107", "host-103"));
    EXPECT_THAT(
        fake::callsStartingWith("Receive"),
        ElementsAre("Receive S2 code=234882820 len=32 header=null flags=0 wait=600 timedOut=0",
                    "Receive S3 code=234882820 len=32 header=null flags=0 wait=600 timedOut=0"));
    EXPECT_THAT(fake::callsStartingWith("Free"),
                ElementsAre("Free S2 code=234882820", "Free S3 code=234882820"));
    EXPECT_THAT(lines(),
                ElementsAre("List of client that form the cloud [2]", "CI CDS client id is [107]",
                            "List of client that form the cloud [2]", "CI CDS client id is [103]",
                            "Sending TQS_PM_CONTENTIDX_ERASE_DATA_REQ for vornCellNum [4711] "
                            "client ID[5]. Path [/home/u/f.txt] FAST client id [107]",
                            "Sending TQS_PM_CONTENTIDX_ERASE_DATA_REQ for vornCellNum [4711] "
                            "client ID[5]. Path [/home/u/f.txt] FAST client id [103]",
                            "Returning succees after erasing data"));
    EXPECT_EQ(fake::world().buffersAlive, 0);
}

TEST_F(EraseBackupTest, RequestCarriesAPrivateCopyOfThePath) {
    scriptClientClouds(kClient, kAppType, {7});
    char path[] = "/x";
    ASSERT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, path, false), 0);
    const auto sent = fake::sentWithCode(tqmsg::kEraseDataReq);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0].eraseRequest().path, path);
    EXPECT_EQ(sent[0].length, 35u);
}

TEST_F(EraseBackupTest, EmptyPathGivesTheMinimalLength) {
    scriptClientClouds(kClient, kAppType, {7});
    ASSERT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "", false), 0);
    const auto sent = fake::sentWithCode(tqmsg::kEraseDataReq);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].length, 33u);
    EXPECT_EQ(sent[0].path, "");
}

TEST_F(EraseBackupTest, SameClientAndTypeReuseServersAndSessions) {
    scriptClientClouds(kClient, kAppType, {7, 3});
    ASSERT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 0);
    ASSERT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/b", true), 0);
    EXPECT_EQ(fake::callsStartingWith("CS.").size(), 1u);
    EXPECT_EQ(fake::callsStartingWith("Attach").size(), 2u);
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S3", "S2", "S3"));
    EXPECT_EQ(fake::sentWithCode(tqmsg::kEraseDataReq)[3].path, "/b");
}

// The servers of one application type need not index another's data: each
// type's requests go to its own clouds' servers, over the sessions cached so far.
TEST_F(EraseBackupTest, AnotherApplicationTypeResolvesItsOwnServers) {
    scriptClientClouds(kClient, kAppType, {7});
    scriptClientClouds(kClient, 3, {8, 7});
    for (int appType : {kAppType, 3, kAppType}) {
        ASSERT_EQ(wrapper.eraseBackupData(kCell, kClient, appType, "/a", false), 0);
    }
    EXPECT_EQ(fake::callsStartingWith("CS.").size(), 3u);
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S3", "S2", "S2"));
    EXPECT_EQ(fake::sentWithCode(tqmsg::kEraseDataReq)[1].eraseRequest().appType, 3);
}

TEST_F(EraseBackupTest, AnotherClientResolvesAgainAndOnlyOneClientIsCached) {
    scriptClientClouds(kClient, kAppType, {7});
    scriptClientClouds(6, kAppType, {8});
    for (int client : {kClient, 6, kClient}) {
        ASSERT_EQ(wrapper.eraseBackupData(kCell, client, kAppType, "/a", false), 0);
    }
    EXPECT_EQ(fake::callsStartingWith("CS.").size(), 3u);
    EXPECT_EQ(fake::callsStartingWith("Attach").size(), 2u);  // sessions outlive the client cache
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S3", "S2"));
}

TEST_F(EraseBackupTest, FirstCallInitialisesAndLooksTheCellNumberUpOnce) {
    scriptClientClouds(kClient, kAppType, {7});
    ASSERT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 0);
    ASSERT_EQ(wrapper.eraseMigratedData(kCell, 9, "/a", false), 0);
    ASSERT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 0);
    EXPECT_EQ(fake::callsStartingWith("EvDebug::initialize").size(), 1u);
    EXPECT_EQ(fake::callsStartingWith("getVornCellNumber").size(), 1u);
    EXPECT_EQ(fake::callsStartingWith("CS.").size(), 1u);
}

// A request carries the number of the cell it names. Another cell's number is
// looked up (and its servers resolved) again; a failed lookup changes nothing.
TEST_F(EraseBackupTest, EachCellsRequestsCarryThatCellsNumber) {
    scriptClientClouds(kClient, kAppType, {7});
    scriptApplicationClouds(9, {7});
    fake::addCell(2, 999);
    ASSERT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 0);
    ASSERT_EQ(wrapper.eraseBackupData(2, kClient, kAppType, "/a", false), 0);
    ASSERT_EQ(wrapper.eraseMigratedData(2, 9, "/a", false), 0);
    EXPECT_EQ(wrapper.eraseBackupData(33, kClient, kAppType, "/a", false), 1);
    ASSERT_EQ(wrapper.eraseMigratedData(kCell, 9, "/a", false), 0);
    std::vector<int32_t> numbers;
    for (const auto& message : fake::sentWithCode(tqmsg::kEraseDataReq)) {
        numbers.push_back(message.eraseRequest().vornCellNumber);
    }
    EXPECT_THAT(numbers, ElementsAre(kCellNumber, 999, 999, kCellNumber));
    EXPECT_EQ(fake::callsStartingWith("getVornCellNumber").size(), 4u);
    EXPECT_EQ(fake::callsStartingWith("CS.").size(), 2u);
    EXPECT_TRUE(logged("Failed to get the vornCell number from vornCell Id [33]"));
}

TEST_F(EraseBackupTest, FailedInitialisationReturnsOneSilently) {
    fake::world().logInitResults = {false};
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 1);
    EXPECT_FALSE(wrapper.initialized);
    EXPECT_THAT(fake::callsStartingWith("getVornCellNumber"), IsEmpty());
    EXPECT_THAT(lines(), IsEmpty());
}

TEST_F(EraseBackupTest, MissingCellNumberFailsAndIsLookedUpAgainNextTime) {
    scriptClientClouds(kClient, kAppType, {7});
    EXPECT_EQ(wrapper.eraseBackupData(33, kClient, kAppType, "/a", false), 1);
    EXPECT_THAT(lines(), ElementsAre("Failed to get the vornCell number from vornCell Id [33]"));
    EXPECT_EQ(wrapper.eraseBackupData(33, kClient, kAppType, "/a", false), 1);
    EXPECT_THAT(fake::sentWithCode(tqmsg::kEraseDataReq), IsEmpty());
    fake::addCell(33, 12);
    EXPECT_EQ(wrapper.eraseBackupData(33, kClient, kAppType, "/a", false), 0);
    EXPECT_EQ(fake::sentWithCode(tqmsg::kEraseDataReq)[0].eraseRequest().vornCellNumber, 12);
    EXPECT_EQ(fake::callsStartingWith("getVornCellNumber").size(), 3u);
}

TEST_F(EraseBackupTest, ClientZeroOnAFreshWrapperFindsNoServersAndSucceeds) {
    EXPECT_EQ(wrapper.eraseBackupData(kCell, 0, kAppType, "/a", false), 0);
    EXPECT_EQ(fake::callsStartingWith("CS.").size(), 1u);
    EXPECT_THAT(lines(), ElementsAre("Found 0 cloud IDs in eraseCIData!!!",
                                     "Returning succees after erasing data"));
}

TEST_F(EraseBackupTest, NoCloudsOrNoServersSendNothingButCacheTheClient) {
    fake::world().clientEngines[{kClient, kAppType}].engineIds = {};
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 0);
    EXPECT_THAT(lines(), ElementsAre("Found 0 cloud IDs in eraseCIData!!!",
                                     "Returning succees after erasing data"));
    EXPECT_EQ(wrapper.currentClientId, kClient);

    fake::world().clientEngines[{6, kAppType}].engineIds = {40};
    fake::world().logLines.clear();
    EXPECT_EQ(wrapper.eraseBackupData(kCell, 6, kAppType, "/a", false), 0);
    EXPECT_THAT(lines(), ElementsAre("Failed to get clould client properties. cloud[40]",
                                     "Failed to get client id from the cloud id [40]",
                                     "Returning succees after erasing data"));
    EXPECT_EQ(wrapper.currentClientId, 6);
    EXPECT_THAT(fake::world().sent, IsEmpty());
}

TEST_F(EraseBackupTest, CloudWithoutServerIsSkippedAndTheOthersServed) {
    scriptClientClouds(kClient, kAppType, {7, 8});
    fake::world().clouds.erase(7);
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 0);
    EXPECT_THAT(wrapper.ciServerClientIds, ElementsAre(108));
    EXPECT_TRUE(logged("Failed to get client id from the cloud id [7]"));
}

TEST_F(EraseBackupTest, FailedCloudListingClearsTheServerCache) {
    scriptClientClouds(kClient, kAppType, {7});
    ASSERT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 0);
    fake::world().clientEngines[{6, kAppType}].result = -1;
    EXPECT_EQ(wrapper.eraseBackupData(kCell, 6, kAppType, "/a", false), 1);
    EXPECT_EQ(wrapper.currentClientId, 0);
    EXPECT_TRUE(wrapper.cloudIds.empty());
    EXPECT_TRUE(wrapper.ciServerClientIds.empty());
    EXPECT_TRUE(logged("Failed to get the cloud id list"));
    // Client 0 must not inherit the servers of client 5.
    EXPECT_EQ(wrapper.eraseBackupData(kCell, 0, kAppType, "/a", false), 0);
    EXPECT_EQ(fake::sentWithCode(tqmsg::kEraseDataReq).size(), 1u);
}

TEST_F(EraseBackupTest, ZeroStatusStopsAtThatServerAndTheNextCallStartsOver) {
    scriptClientClouds(kClient, kAppType, {1, 2, 3});
    fake::world().replies = {fake::Reply{}, fake::Reply{0, false, tqmsg::kEraseDataResp, 0}};
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 1);
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S3"));
    EXPECT_TRUE(
        logged("Received [0] as the status code from client [5], Apptype [2], CIServer [102]"));
    EXPECT_FALSE(logged("Returning succees after erasing data"));
    EXPECT_EQ(fake::callsStartingWith("Free").size(), 2u);

    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 0);
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S3", "S2", "S3", "S4"));
}

TEST_F(EraseBackupTest, AnyNonZeroStatusConfirms) {
    scriptClientClouds(kClient, kAppType, {1, 2, 3});
    fake::world().replies = {fake::Reply{0, false, tqmsg::kEraseDataResp, -1},
                             fake::Reply{0, false, tqmsg::kEraseDataResp, 18},
                             fake::Reply{0, false, tqmsg::kEraseDataResp, 1}};
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 0);
}

TEST_F(EraseBackupTest, SendFailureStopsWithoutReceiving) {
    scriptClientClouds(kClient, kAppType, {1, 2});
    fake::world().sendResults = {-7};
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 1);
    EXPECT_THAT(fake::callsStartingWith("Receive"), IsEmpty());
    EXPECT_THAT(fake::callsStartingWith("Free"), IsEmpty());
    EXPECT_TRUE(
        logged("Failed to send TQS_PM_CONTENTIDX_ERASE_DATA_REQ for CIServer [101] vornCellNum "
               "[4711] client ID[5]. Error:[fake send failed]"));
}

// A session whose send or receive failed is disconnected without waiting,
// destroyed and forgotten, so the next call attaches again; a zero status is
// an answer and keeps it. The RuRizoze erase shares the exchange.
TEST_F(EraseBackupTest, FailedExchangeDropsTheSessionAndTheNextCallAttachesAgain) {
    scriptClientClouds(kClient, kAppType, {1});
    fake::world().sendResults = {-7};
    fake::world().replies = {fake::Reply{-3}, fake::Reply{0, false, tqmsg::kEraseDataResp, 0}};
    const int calls[] = {1, 1, 1, 0};
    for (const int expected : calls) {
        EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), expected);
    }
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S3", "S4", "S4"));
    EXPECT_THAT(fake::world().disconnects, ElementsAre(Pair("S2", 0), Pair("S3", 0)));
    EXPECT_EQ(fake::world().sessionsAlive, 2);  // S4 and the default session
    EXPECT_EQ(countLogged("Returning succees after erasing data"), 1);

    fake::world().sendResults = {-7};
    EXPECT_EQ(wrapper.eraseRuRizozeCIData(kCell, 321, kClient, kAppType, 1, "/r"), 1);
    EXPECT_TRUE(wrapper.clientSessions.empty());
}

// The line naming a request goes out just before the request, so a send that
// blocks or kills the host leaves it in the log.
TEST_F(EraseBackupTest, SendingLineIsWrittenJustBeforeTheRequestGoesOut) {
    scriptClientClouds(kClient, kAppType, {1, 2});
    ASSERT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 0);
    EXPECT_THAT(callsJustAfter("Sending"),
                ElementsAre(::testing::StartsWith("Send S2 code=234882819"),
                            ::testing::StartsWith("Send S3 code=234882819")));
    EXPECT_EQ(lines().back(), "Returning succees after erasing data");
}

TEST_F(EraseBackupTest, SendingLineStillPrecedesTheSendFailureLine) {
    scriptClientClouds(kClient, kAppType, {1});
    fake::world().sendResults = {-7};
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 1);
    EXPECT_THAT(lines(),
                ::testing::ElementsAre(
                    ::testing::_, ::testing::_,
                    ::testing::StartsWith(
                        "Sending TQS_PM_CONTENTIDX_ERASE_DATA_REQ for vornCellNum [4711]"),
                    ::testing::StartsWith("Failed to send TQS_PM_CONTENTIDX_ERASE_DATA_REQ")));
}

TEST_F(EraseBackupTest, ReceiveFailureIsNotFollowedByARelease) {
    scriptClientClouds(kClient, kAppType, {1});
    fake::world().replies = {fake::Reply{-3}};
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 1);
    EXPECT_THAT(fake::callsStartingWith("Free"), IsEmpty());
    EXPECT_TRUE(
        logged("Failed to receive TQS_PM_CONTENTIDX_ERASE_DATA_RESP. Error:[fake receive failed]"));
}

TEST_F(EraseBackupTest, OtherMessageIsReportedUnsignedAndReleasedAsTheExpectedCode) {
    scriptClientClouds(kClient, kAppType, {1, 2});
    fake::world().replies = {fake::Reply{0, false, 0x8E000705ul, 1, 64}};
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 1);
    EXPECT_TRUE(logged("Incorrect message 2382366469 received"));
    EXPECT_THAT(fake::callsStartingWith("Free"), ElementsAre("Free S2 code=234882820"));
    EXPECT_EQ(fake::world().ownedBodiesAlive, 0);
    EXPECT_EQ(fake::sentWithCode(tqmsg::kEraseDataReq).size(), 1u);
}

TEST_F(EraseBackupTest, AttachFailureStopsTheCall) {
    scriptClientClouds(kClient, kAppType, {1, 2});
    fake::world().attachErrors["host-101"] = -9;
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 1);
    EXPECT_TRUE(logged("Failed to attach to the CI server [101]!!!"));
    EXPECT_TRUE(logged("Failed to get the client session the CI server admin node"));
    EXPECT_THAT(fake::world().sent, IsEmpty());
}

TEST_F(EraseBackupTest, TwoCloudsOfOneServerSendTwiceOverOneSession) {
    fake::world().clientEngines[{kClient, kAppType}].engineIds = {1, 2};
    serveCloudsByOneServer({1, 2}, 150);
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 0);
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S2"));
    EXPECT_THAT(fake::attachedHosts(), ElementsAre("host-150"));
}

TEST_F(EraseBackupTest, PathCopyAllocationFailureStopsTheCall) {
    scriptClientClouds(kClient, kAppType, {1});
    ASSERT_TRUE(wrapper.init());
    ASSERT_NE(wrapper.getClientSession(kCell, 101), nullptr);
    fake::failNothrowAllocation(1);
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, "/a", false), 1);
    EXPECT_TRUE(logged("Failed to allocate memory for the path!!!"));
    EXPECT_THAT(fake::world().sent, IsEmpty());
}

TEST_F(EraseBackupTest, NullPathIsRefusedWithoutSending) {
    scriptClientClouds(kClient, kAppType, {1});
    EXPECT_EQ(wrapper.eraseBackupData(kCell, kClient, kAppType, nullptr, false), 1);
    EXPECT_EQ(eraseBackupData(&wrapper, kCell, kClient, kAppType, nullptr, true), 1);
    EXPECT_THAT(fake::world().sent, IsEmpty());
    EXPECT_EQ(
        countLogged("Refusing to erase CI data of client [5] app type [2]: the path is null."), 2);
}

TEST_F(EraseBackupTest, EntryPointForwardsAndFlagChangesNothing) {
    auto run = [](bool flag) {
        fake::reset();
        fake::addCell(kCell, kCellNumber);
        scriptClientClouds(kClient, kAppType, {1});
        void* handle = initEraseCIHelper();
        EXPECT_EQ(eraseBackupData(handle, kCell, kClient, kAppType, "/a", flag), 0);
        deInitEraseCIHelper(handle);
        return std::make_pair(fake::world().calls, fake::world().logLines);
    };
    const auto withTrue = run(true);
    EXPECT_EQ(run(false), withTrue);
    EXPECT_GT(withTrue.first.size(), 10u);
}

}  // namespace
