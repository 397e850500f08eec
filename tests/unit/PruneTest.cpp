// Prune elements, their ordering, the prune request and document pruning.

#include <cstring>

#include "HelperTestSupport.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

_PruneElem element(int cloud, int archiveFile, int cellNumber = 1001, int aux1 = 0, int aux2 = 0,
                   uint32_t spare = 0) {
    return _PruneElem{cellNumber, archiveFile, cloud, aux1, aux2, spare};
}

std::vector<int> cloudsOf(const std::vector<_PruneElem>& elements) {
    std::vector<int> out;
    for (const auto& e : elements) {
        out.push_back(e.cloudId);
    }
    return out;
}

class PruneTest : public HelperTest {
protected:
    static std::vector<std::string> pruneTargets() { return sendTargets(tqmsg::kAfPruneReq); }
    CIAFPruner pruner;
};

// --- ordering --------------------------------------------------------------

TEST(PruneOrderTest, ComparesByCloudAloneAsSignedIntegers) {
    const auto a = element(4, 1, 9, 9, 9, 9);
    const auto b = element(4, 2);
    EXPECT_FALSE(comparePruneElem(a, b));
    EXPECT_FALSE(comparePruneElem(b, a));
    EXPECT_FALSE(comparePruneElem(a, a));
    EXPECT_TRUE(comparePruneElem(element(-2, 0), element(0, 0)));
    EXPECT_TRUE(comparePruneElem(element(0, 0), element(4, 0)));
}

TEST_F(PruneTest, CallersVectorIsSortedByCloudWithMembersIntact) {
    std::vector<_PruneElem> elements = {
        element(7, 1, 11, 1, 1, 0xA1), element(3, 2, 12, 2, 2, 0xA2), element(7, 3, 13, 3, 3, 0xA3),
        element(3, 4, 14, 4, 4, 0xA4), element(5, 5, 15, 5, 5, 0xA5)};
    pruner.PruneCIDocs(elements);  // nothing is served: every element fails
    EXPECT_THAT(cloudsOf(elements), ElementsAre(3, 3, 5, 7, 7));
    for (const auto& e : elements) {
        EXPECT_EQ(e.vornCellNumber, 10 + e.archiveFileId);
        EXPECT_EQ(e.auxValue1, e.archiveFileId);
        EXPECT_EQ(e.spare, 0xA0u + static_cast<uint32_t>(e.archiveFileId));
    }
}

// --- request ---------------------------------------------------------------

TEST_F(PruneTest, RequestWidensEachFieldWithItsSignCloudFirst) {
    serveClouds({3});
    std::vector<_PruneElem> elements = {element(3, 77, 1001, -1, 9, 0xDEADBEEF)};
    ASSERT_EQ(pruner.PruneCIDocs(elements), 0);
    const auto sent = fake::sentWithCode(tqmsg::kAfPruneReq);
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].record.size(), 48u);
    EXPECT_EQ(sent[0].length, 48u);
    EXPECT_EQ(sent[0].flags, 0);
    EXPECT_EQ(sent[0].wait, -1);
    const int64_t expected[5] = {3, 1001, 77, -1, 9};
    EXPECT_EQ(std::memcmp(sent[0].record.data(), expected, sizeof expected), 0);
    for (size_t i = 40; i < 48; ++i) {
        EXPECT_EQ(sent[0].record[i], 0u) << i;
    }
}

TEST_F(PruneTest, EachElementGetsAFreshRecordAndNoReplyIsRead) {
    serveClouds({5});
    std::vector<_PruneElem> elements;
    for (int i = 0; i < 10; ++i) {
        elements.push_back(element(5, i, 1001, i == 0 ? -7 : 0, i == 0 ? -8 : 0));
    }
    ASSERT_EQ(pruner.PruneCIDocs(elements), 0);
    const auto sent = fake::sentWithCode(tqmsg::kAfPruneReq);
    ASSERT_EQ(sent.size(), 10u);
    for (const auto& m : sent) {
        EXPECT_EQ(m.session, "S2");
        const auto r = m.pruneRequest();
        if (r.archiveFileId != 0) {
            EXPECT_EQ(r.auxValue1, 0);
            EXPECT_EQ(r.auxValue2, 0);
        }
    }
    EXPECT_THAT(fake::callsStartingWith("Receive"), IsEmpty());
    EXPECT_THAT(fake::callsStartingWith("Free"), IsEmpty());
}

// --- pruning ---------------------------------------------------------------

TEST_F(PruneTest, EmptyListDoesNothingAndFails) {
    std::vector<_PruneElem> elements;
    EXPECT_EQ(pruner.PruneCIDocs(elements), 1);
    EXPECT_THAT(fake::callsStartingWith("getCloudClientList"), IsEmpty());
    EXPECT_EQ(fake::world().sessionsConstructed, 1);  // the default session only
    EXPECT_THAT(fake::world().sent, IsEmpty());
}

TEST_F(PruneTest, OneCloudUsesOneLookupOneSessionAndOneAttach) {
    serveClouds({5});
    std::vector<_PruneElem> elements = {element(5, 1), element(5, 2), element(5, 3)};
    EXPECT_EQ(pruner.PruneCIDocs(elements), 0);
    EXPECT_EQ(fake::callsStartingWith("getCloudClientList").size(), 1u);
    EXPECT_EQ(fake::callsStartingWith("getVornCellId").size(), 3u);
    EXPECT_THAT(fake::callsStartingWith("TQClient"),
                ElementsAre("TQClient(client=105)", "TQClient(cell=1 client=105)",
                            "TQClient(client=105)", "TQClient(client=105)"));
    EXPECT_THAT(fake::world().attaches, ElementsAre(Pair("S2", "host-105")));
    EXPECT_THAT(pruneTargets(), ElementsAre("S2", "S2", "S2"));
    EXPECT_THAT(fake::world().disconnects, ElementsAre(Pair("S2", 120)));
    EXPECT_TRUE(logged("Succeed to connect to dps client."));
    EXPECT_EQ(fake::world().sessionsAlive, 1);
    EXPECT_EQ(fake::world().clientsAlive, 0);
}

TEST_F(PruneTest, CloudsOutOfOrderAreServedOneSessionPerRun) {
    serveClouds({4, 9});
    std::vector<_PruneElem> elements = {element(9, 1), element(4, 2), element(9, 3)};
    EXPECT_EQ(pruner.PruneCIDocs(elements), 0);
    EXPECT_THAT(pruneTargets(), ElementsAre("S2", "S3", "S3"));
    EXPECT_THAT(
        fake::sessionEvents(),
        ElementsAre("CTqNetwork() S1", "CTqNetwork() S2", "Disconnect S2 wait=120 timedOut=0",
                    "~CTqNetwork() S2", "CTqNetwork() S3", "Disconnect S3 wait=120 timedOut=0",
                    "~CTqNetwork() S3"));
    EXPECT_TRUE(logged("Succeed to connect to dps client."));
    EXPECT_TRUE(logged("Succeed to connect to dps client [109]."));
}

TEST_F(PruneTest, CloudWithoutServerIsAskedForEachElement) {
    serveClouds({6});
    std::vector<_PruneElem> elements = {element(4, 1), element(4, 2), element(6, 3)};
    EXPECT_EQ(pruner.PruneCIDocs(elements), 0);
    EXPECT_EQ(countLogged("Failed to get the client id for dps server!!!"), 2);
    EXPECT_EQ(fake::callsStartingWith("getCloudClientList 4").size(), 2u);
    EXPECT_TRUE(logged("Succeed to connect to dps client."));
    EXPECT_THAT(pruneTargets(), ElementsAre("S2"));
}

TEST_F(PruneTest, FailedAttachKeepsTheSessionForTheRestOfTheCloud) {
    serveClouds({6});
    fake::world().attachErrors["host-106"] = -5;
    std::vector<_PruneElem> elements = {element(6, 1), element(6, 2), element(6, 3)};
    EXPECT_EQ(pruner.PruneCIDocs(elements), 1);
    EXPECT_THAT(fake::attachedHosts(), ElementsAre("host-106"));
    EXPECT_TRUE(
        logged("Failed to attach to document processing server for pruning. ClientId [106]"));
    EXPECT_THAT(pruneTargets(), ElementsAre("S2", "S2"));
    EXPECT_EQ(countLogged("Failed to send TQS_PM_CONTENTIDX_AF_PRUNE_REQ for cloud [6] vornCellNum "
                          "[1001] archive file [2]. Error:[fake send failed]"),
              1);
    EXPECT_THAT(fake::world().disconnects, ElementsAre(Pair("S2", 120)));
}

TEST_F(PruneTest, SendOnAnUnattachedSessionThatSucceedsCounts) {
    serveClouds({6});
    fake::world().attachErrors["host-106"] = -5;
    fake::world().sendResults = {0};
    std::vector<_PruneElem> elements = {element(6, 1), element(6, 2)};
    EXPECT_EQ(pruner.PruneCIDocs(elements), 0);
}

TEST_F(PruneTest, FailedAttachForALaterCloudHasItsOwnLine) {
    serveClouds({5, 6});
    fake::world().attachErrors["host-106"] = -5;
    std::vector<_PruneElem> elements = {element(5, 1), element(6, 2)};
    EXPECT_EQ(pruner.PruneCIDocs(elements), 0);
    EXPECT_TRUE(logged("Failed to attach to document processing server for pruning."));
}

TEST_F(PruneTest, CellLookupFailureKeepsThePreviousCloudsSessionUntilTheNextElement) {
    serveClouds({5, 8});
    fake::world().clients[108].nextCellResults = {1};
    std::vector<_PruneElem> elements = {element(5, 1), element(8, 2), element(8, 3)};
    EXPECT_EQ(pruner.PruneCIDocs(elements), 0);
    EXPECT_EQ(countLogged("Failed to get vornecell Id for client Id [108]"), 1);
    EXPECT_TRUE(logged("Succeed to connect to dps client [108]."));
    EXPECT_THAT(pruneTargets(), ElementsAre("S2", "S3"));
    EXPECT_EQ(fake::sentWithCode(tqmsg::kAfPruneReq)[1].pruneRequest().archiveFileId, 3);
    EXPECT_THAT(fake::world().disconnects, ElementsAre(Pair("S2", 120), Pair("S3", 120)));
}

TEST_F(PruneTest, AllSendsFailingAfterAnAttachStillCountsAsReached) {
    serveClouds({5});
    fake::world().sendResults = {-1, -1};
    std::vector<_PruneElem> elements = {element(5, 1), element(5, 2)};
    EXPECT_EQ(pruner.PruneCIDocs(elements), 0);
    EXPECT_EQ(countLogged("Failed to send TQS_PM_CONTENTIDX_AF_PRUNE_REQ for cloud [5] vornCellNum "
                          "[1001] archive file [1]. Error:[fake send failed]"),
              1);
}

// Prunes have no answer; a server that resets the session at its close (it
// could not carry them out) is logged by name, and the result rule stands.
TEST_F(PruneTest, FailedDisconnectIsLoggedWithTheServer) {
    serveClouds({4, 9});
    fake::world().disconnectResults = {-104};
    std::vector<_PruneElem> elements = {element(4, 1), element(9, 2)};
    EXPECT_EQ(pruner.PruneCIDocs(elements), 0);
    EXPECT_EQ(countLogged("Failed to disconnect from document processing server [104]; its prune "
                          "requests may not have been carried out. Error:[fake disconnect failed]"),
              1);
    EXPECT_EQ(fake::world().sessionsAlive, 1);
}

TEST_F(PruneTest, UninitialisedPrunerStillPrunesSilently) {
    serveClouds({5});
    fake::world().logInitResults = {false};
    std::vector<_PruneElem> elements = {element(5, 1)};
    EXPECT_EQ(pruner.PruneCIDocs(elements), 0);
    EXPECT_EQ(fake::sentWithCode(tqmsg::kAfPruneReq).size(), 1u);
    EXPECT_THAT(lines(), IsEmpty());
}

TEST_F(PruneTest, CloudZeroStartsAFreshSessionForEveryElement) {
    serveClouds({0, 5});
    std::vector<_PruneElem> elements = {element(0, 1), element(0, 2), element(5, 3)};
    EXPECT_EQ(pruner.PruneCIDocs(elements), 0);
    EXPECT_THAT(pruneTargets(), ElementsAre("S2", "S3", "S4"));
    EXPECT_EQ(countLogged("Succeed to connect to dps client."), 3);
    EXPECT_EQ(fake::world().disconnects.size(), 3u);
    EXPECT_EQ(fake::world().sessionsAlive, 1);
}

TEST_F(PruneTest, CachedServerLookupSparesTheDirectoryWithinOneCallOnly) {
    serveClouds({5});
    std::vector<_PruneElem> elements = {element(5, 1), element(5, 2)};
    EXPECT_EQ(pruner.PruneCIDocs(elements), 0);
    EXPECT_EQ(pruner.PruneCIDocs(elements), 0);
    EXPECT_EQ(fake::callsStartingWith("getCloudClientList").size(), 2u);
}

}  // namespace
