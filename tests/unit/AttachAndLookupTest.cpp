// Attachment to a CI server's remote indexing service, the directory lookups,
// cloud id resolution and the erase wrapper's session cache.

#include "HelperTestSupport.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

class AttachTest : public HelperTest {
protected:
    void SetUp() override {
        HelperTest::SetUp();
        ASSERT_TRUE(wrapper.init());
        fake::world().calls.clear();
    }
    InspectableWrapper wrapper;
};

TEST_F(AttachTest, ClientIdNamesTheServerAndTheDescriptorNamesTheIndexService) {
    fake::addClient(42);
    CTqNetwork session;
    ASSERT_TRUE(wrapper.attach(kCell, 42, 0, &session));
    EXPECT_THAT(fake::callsStartingWith("TQClient"), ElementsAre("TQClient(cell=1 client=42)"));
    EXPECT_THAT(fake::callsStartingWith("setFocus"), ElementsAre("setFocus Instance001"));
    EXPECT_THAT(fake::callsStartingWith("Attach"),
                ElementsAre("Attach S2 host=host-42 service=sLNIDXMA/sLPIDXMA local=host-a "
                            "wait=120 timedOut=0"));
    EXPECT_EQ(fake::world().clientsAlive, 0);
    EXPECT_THAT(lines(), IsEmpty());
}

TEST_F(AttachTest, BothIdsZeroIsRefusedBeforeAnyDirectoryCall) {
    EXPECT_FALSE(wrapper.attach(kCell, 0, 0, nullptr));
    EXPECT_THAT(lines(), ElementsAre("Both application ID and client ID are zeros."));
    EXPECT_THAT(fake::callsStartingWith("TQClient"), IsEmpty());
    EXPECT_THAT(fake::callsStartingWith("ApplicationId"), IsEmpty());
    EXPECT_THAT(fake::callsStartingWith("Attach"), IsEmpty());
}

TEST_F(AttachTest, ApplicationIdTakesPrecedenceAndItsClientRecordIsReleased) {
    fake::addClient(77);
    fake::world().applicationOwners[9] = 77;
    CTqNetwork session;
    ASSERT_TRUE(wrapper.attach(kCell, 42, 9, &session));
    EXPECT_THAT(fake::callsStartingWith("getMangledHostName"),
                ElementsAre("getMangledHostName 77"));
    EXPECT_THAT(fake::attachedHosts(), ElementsAre("host-77"));
    EXPECT_EQ(fake::world().clientsAlive, 0);
}

TEST_F(AttachTest, UnknownApplicationIsReportedWithBothIds) {
    EXPECT_FALSE(wrapper.attach(kCell, 42, 9, nullptr));
    EXPECT_THAT(lines(),
                ElementsAre("Failed to get client object from application id [9] client id [42]"));
}

TEST_F(AttachTest, HostNameFailureIsReportedAndNothingIsAttached) {
    fake::addClient(42);
    fake::world().clients[42].hostResult = 3;
    EXPECT_FALSE(wrapper.attach(kCell, 42, 0, nullptr));
    EXPECT_THAT(
        lines(),
        ElementsAre("Failed to get mangled host name from client id[42] application id [0]"));
    EXPECT_THAT(fake::callsStartingWith("Attach"), IsEmpty());
    EXPECT_EQ(fake::world().clientsAlive, 0);
}

TEST_F(AttachTest, RefusedAttachIsReportedWithHostAndErrorText) {
    fake::addClient(42);
    fake::world().attachErrors["host-42"] = -5;
    EXPECT_FALSE(wrapper.attach(kCell, 42, 0, nullptr));
    EXPECT_THAT(
        lines(),
        ElementsAre(
            "Failed to attach the remote CI server [host-42]. Error:[attach refused by host-42]"));
}

TEST_F(AttachTest, NullSessionAttachesTheDefaultSession) {
    fake::addClient(42);
    ASSERT_TRUE(wrapper.attach(kCell, 42, 0, nullptr));
    EXPECT_THAT(fake::world().attaches, ElementsAre(Pair("S1", "host-42")));
}

TEST_F(AttachTest, NegativeCellIdReachesTheDirectorySignExtended) {
    fake::addClient(42);
    EXPECT_TRUE(wrapper.attach(-1, 42, 0, nullptr));
    EXPECT_THAT(fake::callsStartingWith("TQClient"),
                ElementsAre("TQClient(cell=18446744073709551615 client=42)"));
}

TEST_F(AttachTest, LocalNameFollowsThePlatformType) {
    fake::addClient(42);
    fake::world().platformType = 3;
    fake::world().physicalMachine = "machine";
    ASSERT_TRUE(wrapper.attach(kCell, 42, 0, nullptr));
    fake::world().platformType = 2;
    fake::world().physicalMachine = std::string(300, 'm');
    ASSERT_TRUE(wrapper.attach(kCell, 42, 0, nullptr));
    const auto attaches = fake::callsStartingWith("Attach");
    ASSERT_EQ(attaches.size(), 2u);
    EXPECT_NE(attaches[0].find("local=vornserver-client "), std::string::npos);
    EXPECT_NE(attaches[1].find("local=" + std::string(255, 'm') + " "), std::string::npos);
    EXPECT_THAT(fake::callsStartingWith("getVornServerClientName"),
                ElementsAre("getVornServerClientName size=256"));
}

// --- lookups ---------------------------------------------------------------

TEST_F(AttachTest, CellNumberZeroIsNoNumberAndLeavesTheCallersValue) {
    fake::addCell(8, 0);
    int number = 55;
    EXPECT_FALSE(wrapper.getVornCellNumber(8, number));
    EXPECT_FALSE(wrapper.getVornCellNumber(9, number));
    EXPECT_EQ(number, 55);
    EXPECT_TRUE(wrapper.getVornCellNumber(kCell, number));
    EXPECT_EQ(number, kCellNumber);
    EXPECT_THAT(fake::callsStartingWith("getVornCellNumber"),
                ElementsAre("getVornCellNumber 8 preset=0", "getVornCellNumber 9 preset=0",
                            "getVornCellNumber 1 preset=0"));
    EXPECT_THAT(lines(), IsEmpty());
}

TEST_F(AttachTest, CellNumberIsNarrowedAndAZeroLowWordIsNoNumber) {
    fake::addCell(8, 0x100000007ul);
    fake::addCell(9, 0x100000000ul);
    int number = 55;
    EXPECT_TRUE(wrapper.getVornCellNumber(8, number));
    EXPECT_EQ(number, 7);
    EXPECT_FALSE(wrapper.getVornCellNumber(9, number));
    EXPECT_EQ(number, 7);
}

TEST_F(AttachTest, FirstClientWithBitZeroIsTheCiServer) {
    fake::world().clouds[5] = {0, {11, 12, 13}, {0, 1, 1}};
    int id = 0;
    EXPECT_TRUE(wrapper.getCISvrClientId(5, id));
    EXPECT_EQ(id, 12);
    EXPECT_THAT(lines(),
                ElementsAre("List of client that form the cloud [3]", "CI CDS client id is [12]"));
}

TEST_F(AttachTest, OnlyBitZeroOfThePropertyWordCounts) {
    fake::world().clouds[5] = {0, {11, 12}, {2, 3}};
    int id = 0;
    EXPECT_TRUE(wrapper.getCISvrClientId(5, id));
    EXPECT_EQ(id, 12);
}

TEST_F(AttachTest, CloudWithoutCiServerGivesMinusOne) {
    fake::world().clouds[5] = {0, {}, {}};
    // The marked property has no client beside it: positions past the shorter
    // list are never examined.
    fake::world().clouds[6] = {0, {11, 12}, {0, 0, 1}};
    int id = 0;
    EXPECT_FALSE(wrapper.getCISvrClientId(5, id));
    EXPECT_EQ(id, -1);
    id = 0;
    EXPECT_FALSE(wrapper.getCISvrClientId(6, id));
    EXPECT_EQ(id, -1);
    EXPECT_THAT(lines(), ElementsAre("List of client that form the cloud [0]",
                                     "List of client that form the cloud [2]"));
}

TEST_F(AttachTest, FailedCloudQueryIsReported) {
    int id = 0;
    EXPECT_FALSE(wrapper.getCISvrClientId(-4, id));
    EXPECT_EQ(id, -1);
    EXPECT_THAT(lines(), ElementsAre("Failed to get clould client properties. cloud[-4]"));
}

TEST_F(AttachTest, WideClientIdIsDeliveredAsItsLowBits) {
    fake::world().clouds[5] = {0, {0x1000000FFul}, {1}};
    int id = 0;
    EXPECT_TRUE(wrapper.getCISvrClientId(5, id));
    EXPECT_EQ(id, 255);
}

// --- cloud ids -------------------------------------------------------------

TEST_F(AttachTest, CloudIdsAreAppendedInOrderWithDuplicates) {
    fake::world().clientEngines[{5, 2}].engineIds = {3, 3, 9};
    std::vector<int> clouds = {1, 2};
    EXPECT_TRUE(wrapper.getCloudIds(5, 2, 77, clouds, true));
    EXPECT_THAT(clouds, ElementsAre(1, 2, 3, 3, 9));
    EXPECT_THAT(fake::callsStartingWith("CS."),
                ElementsAre("CS.getContentIndexEngineList client=5 appType=2 app=0"));
    EXPECT_THAT(fake::callsStartingWith("ArchiveManagerCS"), ElementsAre("ArchiveManagerCS(null)"));
}

TEST_F(AttachTest, ApplicationVariantAsksOnlyByApplicationId) {
    fake::world().applicationEngines[77].engineIds = {4};
    std::vector<int> clouds;
    EXPECT_TRUE(wrapper.getCloudIds(5, 2, 77, clouds, false));
    EXPECT_THAT(clouds, ElementsAre(4));
    EXPECT_THAT(fake::callsStartingWith("DS."),
                ElementsAre("DS.getContentIndexEngineList client=0 appType=0 app=77"));
}

TEST_F(AttachTest, ManagerFailureLeavesTheListAndEmptyAnswerIsNoFailure) {
    fake::world().clientEngines[{5, 2}].result = -1;
    fake::world().clientEngines[{5, 2}].engineIds = {8};
    std::vector<int> clouds = {1};
    EXPECT_FALSE(wrapper.getCloudIds(5, 2, 0, clouds, true));
    EXPECT_TRUE(wrapper.getCloudIds(6, 2, 0, clouds, true));
    EXPECT_THAT(clouds, ElementsAre(1));
    EXPECT_THAT(
        lines(),
        ElementsAre("Failed to get the content indexing engine list for client Id [5] app type[2].",
                    "Found 0 cloud IDs in eraseCIData!!!"));
}

// --- session cache ---------------------------------------------------------

TEST_F(AttachTest, CachedSessionIsReturnedWithoutNetworkActivity) {
    fake::addClient(42);
    CTqNetwork* first = wrapper.getClientSession(kCell, 42);
    ASSERT_NE(first, nullptr);
    const auto callsAfterFirst = fake::world().calls.size();
    EXPECT_EQ(wrapper.getClientSession(99, 42), first);
    EXPECT_EQ(fake::world().calls.size(), callsAfterFirst);
}

TEST_F(AttachTest, FailedAttachCachesNothingAndIsTriedAgain) {
    fake::addClient(42);
    fake::world().attachErrors["host-42"] = -5;
    EXPECT_EQ(wrapper.getClientSession(kCell, 42), nullptr);
    EXPECT_EQ(wrapper.getClientSession(kCell, 42), nullptr);
    EXPECT_THAT(fake::attachedHosts(), ElementsAre("host-42", "host-42"));
    EXPECT_EQ(countLogged("Failed to attach to the CI server [42]!!!"), 2);
    EXPECT_TRUE(wrapper.clientSessions.empty());
    EXPECT_THAT(fake::world().disconnects, IsEmpty());
    EXPECT_EQ(fake::world().sessionsAlive, 1);  // only the default session
}

TEST_F(AttachTest, ServerIdZeroIsRefusedByAttach) {
    EXPECT_EQ(wrapper.getClientSession(kCell, 0), nullptr);
    EXPECT_THAT(lines(), ElementsAre("Both application ID and client ID are zeros.",
                                     "Failed to attach to the CI server [0]!!!"));
}

TEST_F(AttachTest, SessionAllocationFailureIsReported) {
    fake::addClient(42);
    fake::failNothrowAllocation(1);
    EXPECT_EQ(wrapper.getClientSession(kCell, 42), nullptr);
    EXPECT_THAT(lines(), ElementsAre("Failed to allocate memory for session!!!"));
    EXPECT_TRUE(wrapper.clientSessions.empty());
}

}  // namespace
