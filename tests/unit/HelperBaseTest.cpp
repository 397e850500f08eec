// Handle lifecycle, the helper base (initialisation, logging, destruction) and
// the erase wrapper object.

#include <cstring>
#include <thread>

#include "HelperTestSupport.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

// A helper whose readiness hook the test controls.
class ScriptedHelper : public CIHelperBase {
public:
    bool ready = true;
    int initializeCalls = 0;
    bool initialize() override {
        ++initializeCalls;
        return ready;
    }
    bool isInitialized() const { return initialized; }
};

class HelperBaseTest : public HelperTest {};

TEST_F(HelperBaseTest, LogIsSilentUntilInitialised) {
    ScriptedHelper helper;
    helper.CIHelperLog("before [%d]", 1);
    EXPECT_TRUE(lines().empty());
    ASSERT_TRUE(helper.init());
    helper.CIHelperLog("after [%d]", 2);
    EXPECT_THAT(lines(), ElementsAre("after [2]"));
}

TEST_F(HelperBaseTest, InitSetsTheLogUpWithTheHelpersValuesOnce) {
    ScriptedHelper helper;
    ASSERT_TRUE(helper.init());
    ASSERT_TRUE(helper.init());
    EXPECT_THAT(fake::callsStartingWith("EvDebug::initialize"),
                ElementsAre("EvDebug::initialize 667091992 -123456 0 ''"));
    EXPECT_EQ(helper.initializeCalls, 1);
}

TEST_F(HelperBaseTest, FailedLogSetUpLeavesHelperUninitialisedAndIsRetried) {
    fake::world().logInitResults = {false};
    ScriptedHelper helper;
    EXPECT_FALSE(helper.init());
    EXPECT_FALSE(helper.isInitialized());
    EXPECT_EQ(helper.initializeCalls, 0);
    EXPECT_TRUE(helper.init());
    EXPECT_EQ(fake::callsStartingWith("EvDebug::initialize").size(), 2u);
    EXPECT_TRUE(lines().empty());
}

TEST_F(HelperBaseTest, FailedReadinessHookIsLoggedAndKeepsLogSilent) {
    ScriptedHelper helper;
    helper.ready = false;
    EXPECT_FALSE(helper.init());
    EXPECT_FALSE(helper.isInitialized());
    helper.CIHelperLog("not written");
    EXPECT_THAT(lines(), ElementsAre("Failed to initialize CI helper object."));
}

TEST_F(HelperBaseTest, PercentSignsInInsertedTextAreWrittenLiterally) {
    ScriptedHelper helper;
    ASSERT_TRUE(helper.init());
    helper.CIHelperLog("Path [%s]", "/data/%s%n%d%%x");
    EXPECT_THAT(lines(), ElementsAre("Path [/data/%s%n%d%%x]"));
}

TEST_F(HelperBaseTest, LineLongerThanTheBufferIsCutWithAMarker) {
    ScriptedHelper helper;
    ASSERT_TRUE(helper.init());
    const std::string longText(200000, 'x');
    helper.CIHelperLog("[%s]", longText.c_str());
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_EQ(lines()[0].size(), 65534u);
    EXPECT_EQ(lines()[0].substr(0, 3), "[xx");
    EXPECT_EQ(lines()[0].substr(lines()[0].size() - 3), "...");
}

TEST_F(HelperBaseTest, HelpersOnTwoThreadsNeverMixTheirLines) {
    ScriptedHelper first;
    ScriptedHelper second;
    ASSERT_TRUE(first.init());
    ASSERT_TRUE(second.init());
    // The fake's journal is not thread-safe, so each thread only formats and
    // writes; the lines are checked afterwards.
    constexpr int kLines = 2000;
    std::thread a([&] {
        for (int i = 0; i < kLines; ++i) {
            first.CIHelperLog("first %d %s", i, "aaaaaaaaaaaaaaaa");
        }
    });
    std::thread b([&] {
        for (int i = 0; i < kLines; ++i) {
            second.CIHelperLog("second %d %s", i, "bbbbbbbbbbbbbbbb");
        }
    });
    a.join();
    b.join();
    ASSERT_EQ(lines().size(), 2u * kLines);
    for (const auto& line : lines()) {
        const bool isFirst = line.rfind("first ", 0) == 0 && line.find('b') == std::string::npos;
        const bool isSecond = line.rfind("second ", 0) == 0 && line.find('a') == std::string::npos;
        EXPECT_TRUE(isFirst || isSecond) << line;
    }
}

TEST_F(HelperBaseTest, DestroyingAnUnusedHelperOnlyDisconnectsItsDefaultSession) {
    { ScriptedHelper helper; }
    EXPECT_THAT(fake::world().disconnects, ElementsAre(Pair("S1", 120)));
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(fake::world().sessionsAlive, 0);
}

// --- handle lifecycle ------------------------------------------------------

TEST_F(HelperBaseTest, HandleIsCreatedWithoutContactingAnything) {
    void* handle = initEraseCIHelper();
    ASSERT_NE(handle, nullptr);
    const auto& calls = fake::world().calls;
    EXPECT_THAT(calls, ElementsAre("EvDebug(null)", "CTqNetwork() S1"));
    deInitEraseCIHelper(handle);
    EXPECT_THAT(fake::world().disconnects, ElementsAre(Pair("S1", 120)));
    EXPECT_EQ(calls.back(), "~EvDebug()");
    EXPECT_TRUE(lines().empty());
}

TEST_F(HelperBaseTest, HandleAllocationFailureGivesNullAndNullIsHarmless) {
    fake::failNothrowAllocation(1);
    void* handle = initEraseCIHelper();
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(eraseBackupData(handle, kCell, 5, 2, "/a", false), 1);
    EXPECT_EQ(eraseMigratedData(handle, kCell, 9, "/a", true), 1);
    deInitEraseCIHelper(nullptr);
    EXPECT_TRUE(fake::world().calls.empty());
}

TEST_F(HelperBaseTest, TwoHandlesKeepTheirOwnCaches) {
    scriptClientClouds(5, 2, {7});
    void* first = initEraseCIHelper();
    void* second = initEraseCIHelper();
    ASSERT_EQ(eraseBackupData(first, kCell, 5, 2, "/a", false), 0);
    ASSERT_EQ(eraseBackupData(second, kCell, 5, 2, "/a", false), 0);
    EXPECT_THAT(fake::attachedHosts(), ElementsAre("host-107", "host-107"));
    EXPECT_EQ(fake::callsStartingWith("CS.getContentIndexEngineList").size(), 2u);
    deInitEraseCIHelper(first);
    deInitEraseCIHelper(second);
    EXPECT_EQ(fake::world().sessionsAlive, 0);
}

// --- erase wrapper object --------------------------------------------------

TEST_F(HelperBaseTest, WrapperDestroysCachedSessionsInKeyOrderWithoutDisconnecting) {
    scriptClientClouds(5, 2, {30, 10, 20});
    {
        InspectableWrapper wrapper;
        ASSERT_EQ(wrapper.eraseBackupData(kCell, 5, 2, "/a", false), 0);
        ASSERT_EQ(wrapper.clientSessions.size(), 3u);
        fake::world().calls.clear();
    }
    // Sessions were created for servers 130, 110, 120 as S2, S3, S4.
    EXPECT_THAT(fake::sessionEvents(),
                ElementsAre("~CTqNetwork() S3", "~CTqNetwork() S4", "~CTqNetwork() S2",
                            "Disconnect S1 wait=120 timedOut=0", "~CTqNetwork() S1"));
}

}  // namespace
