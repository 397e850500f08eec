// Erasing the index entries of migrated data: every cloud of the application
// is tried, and one confirmation is enough.

#include "HelperTestSupport.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

constexpr int kApp = 9;

fake::Reply status(int32_t value) {
    fake::Reply reply;
    reply.status = value;
    return reply;
}

class EraseMigratedTest : public HelperTest {
protected:
    InspectableWrapper wrapper;
};

TEST_F(EraseMigratedTest, RequestCarriesTheApplicationIdAndClientZero) {
    scriptApplicationClouds(kApp, {4});
    ASSERT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/arch/x", false), 0);
    const auto sent = fake::sentWithCode(tqmsg::kEraseDataReq);
    ASSERT_EQ(sent.size(), 1u);
    const auto request = sent[0].eraseRequest();
    EXPECT_EQ(request.vornCellNumber, kCellNumber);
    EXPECT_EQ(request.clientId, 0);
    EXPECT_EQ(request.appType, kApp);
    EXPECT_EQ(request.eraseKind, 0);
    EXPECT_EQ(sent[0].path, "/arch/x");
    EXPECT_EQ(sent[0].length, 32u + 7u + 1u);
    // The receive uses the buffer that still refers to the request.
    EXPECT_THAT(fake::callsStartingWith("Receive"),
                ElementsAre("Receive S2 code=0 len=40 header=null flags=0 wait=600 timedOut=0"));
    EXPECT_THAT(fake::callsStartingWith("Free"), IsEmpty());
    EXPECT_THAT(fake::callsStartingWith("DS."),
                ElementsAre("DS.getContentIndexEngineList client=0 appType=0 app=9"));
    EXPECT_THAT(
        lines(),
        ElementsAre("List of client that form the cloud [2]", "CI CDS client id is [104]",
                    "Sending TQS_PM_CONTENTIDX_ERASE_DATA_REQ for cloud [4] vornCellNum [4711] "
                    "client ID[0].",
                    "Received erase data response for application ID[9] for CI server[104]!!"));
    EXPECT_EQ(wrapper.lastErasedAppId, kApp);
}

// The line naming a request goes out just before the request, so a send
// that blocks or kills the host leaves it in the log.
TEST_F(EraseMigratedTest, SendingLineNamesTheRequestJustBeforeItGoesOut) {
    scriptApplicationClouds(kApp, {4, 6});
    fake::world().sendResults = {0, -7};
    ASSERT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/arch/x", false), 0);
    EXPECT_THAT(callsJustAfter("Sending"),
                ElementsAre(::testing::StartsWith("Send S2 code=234882819"),
                            ::testing::StartsWith("Send S3 code=234882819")));
    const auto& all = lines();
    const auto sending = std::find(
        all.begin(), all.end(),
        "Sending TQS_PM_CONTENTIDX_ERASE_DATA_REQ for cloud [6] vornCellNum [4711] client ID[0].");
    ASSERT_NE(sending, all.end());
    ASSERT_NE(sending + 1, all.end());
    EXPECT_THAT(
        *(sending + 1),
        ::testing::StartsWith("Failed to send TQS_PM_CONTENTIDX_ERASE_DATA_REQ for cloud [6]"));
}

TEST_F(EraseMigratedTest, OneConfirmationIsEnoughAndEveryCloudIsTried) {
    scriptApplicationClouds(kApp, {1, 2, 3});
    fake::world().replies = {status(0), status(1), status(1)};
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 0);
    EXPECT_EQ(countLogged("Failed to erase data for application ID[9] for CI server[101]!!"), 1);
    EXPECT_EQ(
        countLogged("Received erase data response for application ID[9] for CI server[102]!!"), 1);
    EXPECT_EQ(
        countLogged("Received erase data response for application ID[9] for CI server[103]!!"), 1);
}

TEST_F(EraseMigratedTest, LaterFailuresDoNotUndoAnEarlierConfirmation) {
    scriptApplicationClouds(kApp, {1, 2, 3});
    fake::world().replies = {status(1), status(0), status(0)};
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 0);
    EXPECT_EQ(countLogged("Failed to erase data for application ID[9] for CI server[102]!!"), 1);
    EXPECT_EQ(countLogged("Failed to erase data for application ID[9] for CI server[103]!!"), 1);
}

TEST_F(EraseMigratedTest, NoConfirmationGivesOne) {
    scriptApplicationClouds(kApp, {1, 2});
    fake::Reply otherCode;
    otherCode.code = 0x0E000799;
    fake::world().replies = {status(0), otherCode};
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 1);
    EXPECT_EQ(wrapper.lastErasedAppId, 0);
    EXPECT_FALSE(logged("Incorrect message 234882969 received"));
    EXPECT_EQ(countLogged("Failed to erase data for application ID[9] for CI server[102]!!"), 1);
}

TEST_F(EraseMigratedTest, NoCloudsSucceedsButUnresolvableServersFail) {
    fake::world().applicationEngines[kApp].engineIds = {};
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 0);
    EXPECT_TRUE(logged("Found 0 cloud IDs in eraseCIData!!!"));

    fake::world().applicationEngines[10].engineIds = {5, 6};
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, 10, "/a", false), 1);
    EXPECT_TRUE(logged("Failed to get the client id for CI Server ID[5]!!!"));
    EXPECT_TRUE(logged("Failed to get the client id for CI Server ID[6]!!!"));
    EXPECT_THAT(fake::world().sent, IsEmpty());
}

TEST_F(EraseMigratedTest, ManagerFailureGivesOne) {
    fake::world().applicationEngines[kApp].result = -2;
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 1);
    EXPECT_THAT(
        lines(),
        ElementsAre(
            "Failed to get the content indexing engine list for client Id [0] app type[0]."));
}

TEST_F(EraseMigratedTest, TimeoutIsReportedAsSuchEvenWithAnError) {
    scriptApplicationClouds(kApp, {1, 2, 3});
    fake::Reply timedOutWithError{-3, true};
    fake::Reply timedOutOnly{0, true};
    fake::Reply failed{-4, false};
    fake::world().replies = {timedOutWithError, timedOutOnly, failed};
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 1);
    EXPECT_EQ(
        countLogged("Failed(TimedOut) to receive data for TQS_PM_CONTENTIDX_ERASE_DATA_RESP!!!"),
        2);
    EXPECT_EQ(
        countLogged(
            "Failed to receive TQS_PM_CONTENTIDX_ERASE_DATA_RESP. Error:[fake receive failed]"),
        1);
}

TEST_F(EraseMigratedTest, SendFailureMovesOnToTheNextCloud) {
    scriptApplicationClouds(kApp, {1, 2});
    fake::world().sendResults = {-7};
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 0);
    EXPECT_TRUE(
        logged("Failed to send TQS_PM_CONTENTIDX_ERASE_DATA_REQ for cloud [1] vornCellNum [4711] "
               "client ID[0]. Error:[fake send failed]"));
    EXPECT_EQ(fake::callsStartingWith("Receive").size(), 1u);
}

TEST_F(EraseMigratedTest, AttachFailureMovesOnToTheNextCloud) {
    scriptApplicationClouds(kApp, {1, 2});
    fake::world().attachErrors["host-101"] = -9;
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 0);
    EXPECT_TRUE(logged("Failed to attach to the CI server [101]!!!"));
    EXPECT_EQ(fake::sentWithCode(tqmsg::kEraseDataReq).size(), 1u);
}

TEST_F(EraseMigratedTest, ShortOrOwnedResponseBodiesAreReadSafely) {
    scriptApplicationClouds(kApp, {1, 2});
    fake::Reply shortBody;  // too short to hold a status: not a confirmation
    shortBody.bodySize = 8;
    fake::world().replies = {shortBody, status(1)};
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 0);
    EXPECT_EQ(countLogged("Failed to erase data for application ID[9] for CI server[101]!!"), 1);
    EXPECT_EQ(fake::world().ownedBodiesAlive, 0);
}

TEST_F(EraseMigratedTest, PathCopySurvivesTheResponseOverwritingTheRequest) {
    // The response lands in the request record and overwrites its path
    // pointer; the copy must still be released through the operation's own
    // pointer (a sanitizer or leak check catches the alternative).
    scriptApplicationClouds(kApp, {1, 2});
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/some/path", false), 0);
    const auto sent = fake::sentWithCode(tqmsg::kEraseDataReq);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].path, "/some/path");
}

TEST_F(EraseMigratedTest, BackupServerCacheSurvivesAMigratedErase) {
    scriptClientClouds(5, 2, {1});
    scriptApplicationClouds(kApp, {2});
    ASSERT_EQ(wrapper.eraseBackupData(kCell, 5, 2, "/a", false), 0);
    ASSERT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 0);
    ASSERT_EQ(wrapper.eraseBackupData(kCell, 5, 2, "/a", false), 0);
    EXPECT_EQ(fake::callsStartingWith("CS.").size(), 1u);
    EXPECT_THAT(wrapper.ciServerClientIds, ElementsAre(101));
}

// Two clouds of one server in one call: the second still uses the session the
// first failed on (nothing is tried again within the call); the next call
// attaches afresh. A zero status keeps the session.
TEST_F(EraseMigratedTest, FailedSessionIsDroppedWhenTheCallEnds) {
    fake::world().applicationEngines[kApp].engineIds = {1, 2};
    serveCloudsByOneServer({1, 2}, 150);
    fake::world().replies = {fake::Reply{0, true}, status(0), status(0)};
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 1);
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S2"));
    EXPECT_EQ(fake::world().calls.back(), "~CTqNetwork() S2");
    EXPECT_THAT(fake::world().disconnects, ElementsAre(Pair("S2", 0)));
    EXPECT_TRUE(wrapper.clientSessions.empty());

    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 0);
    EXPECT_THAT(sendTargets(), ElementsAre("S2", "S2", "S3", "S3"));
    EXPECT_EQ(wrapper.clientSessions.size(), 1u);
}

TEST_F(EraseMigratedTest, NullPathAndNullHandleAreRefused) {
    scriptApplicationClouds(kApp, {1});
    EXPECT_EQ(eraseMigratedData(nullptr, kCell, kApp, "/a", false), 1);
    EXPECT_EQ(eraseMigratedData(&wrapper, kCell, kApp, nullptr, false), 1);
    EXPECT_THAT(fake::world().sent, IsEmpty());
    EXPECT_THAT(lines(),
                ElementsAre("Refusing to erase CI data of application ID[9]: the path is null."));
}

TEST_F(EraseMigratedTest, PathCopyFailureMovesOnToTheNextCloud) {
    scriptApplicationClouds(kApp, {1, 2});
    ASSERT_TRUE(wrapper.init());
    ASSERT_NE(wrapper.getClientSession(kCell, 101), nullptr);
    fake::failNothrowAllocation(1);  // the first path copy
    EXPECT_EQ(wrapper.eraseMigratedData(kCell, kApp, "/a", false), 0);
    EXPECT_TRUE(logged("Failed to allocate memory for the path!!!"));
    EXPECT_EQ(fake::sentWithCode(tqmsg::kEraseDataReq).size(), 1u);
}

}  // namespace
