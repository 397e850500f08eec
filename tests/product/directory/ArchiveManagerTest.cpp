// The archive managers' engine lists from the sample directory.
#include <gtest/gtest.h>

#include <vector>

#include "ArchiveManager.h"
#include "DirectoryTestSupport.h"

namespace {

using tqtest::DirectoryTest;

class ArchiveManagerTest : public DirectoryTest {
protected:
    void SetUp() override { createSampleDirectory(); }

    // Engines of (client, appType) through ArchiveManagerCS; `result` gets its result.
    static std::vector<int> clientEngines(int clientId, int appType, int& result,
                                          std::vector<int> previous = {}) {
        GetContentIndexEngineListArgs_t args;
        args.clientId = clientId;
        args.appType = appType;
        GetContentIndexEngineListRet_t ret;
        ret.engineIds = std::move(previous);
        result = ArchiveManagerCS(nullptr).getContentIndexEngineList(&args, &ret);
        return ret.engineIds;
    }

    static std::vector<int> applicationEngines(int applicationId, int& result) {
        GetContentIndexEngineListArgsDS_t args;
        args.applicationId = applicationId;
        GetContentIndexEngineListRetDS_t ret;
        result = ArchiveManagerDS().getContentIndexEngineList(&args, &ret);
        return ret.engineIds;
    }
};

TEST_P(ArchiveManagerTest, ClientEnginesComeInStoredOrderPerApplicationType) {
    int result = -99;
    EXPECT_EQ((std::vector<int>{kEmptyCloud, kThirdCloud, kCloud}),
              clientEngines(kClient, kAppType, result));
    EXPECT_EQ(3, result);
    EXPECT_EQ((std::vector<int>{kThirdCloud}), clientEngines(kClient, kOtherAppType, result));
    EXPECT_EQ(1, result);
}

TEST_P(ArchiveManagerTest, ClientOrTypeWithoutMappingGivesNoEngines) {
    int result = -99;
    EXPECT_TRUE(clientEngines(4242, kAppType, result, {9, 9}).empty());
    EXPECT_EQ(0, result);
    EXPECT_TRUE(clientEngines(kClient, 99, result).empty());
    EXPECT_EQ(0, result);
}

TEST_P(ArchiveManagerTest, CloudIdWiderThan32BitsArrivesAsItsLowBits) {
    int result = -99;
    EXPECT_EQ((std::vector<int>{static_cast<int>(kWideCloud & 0xFFFFFFFF)}),
              clientEngines(kClient, kWideCloudAppType, result));
    EXPECT_EQ(1, result);
}

TEST_P(ArchiveManagerTest, RemappingReplacesTheStoredList) {
    {
        const auto directory = tqtest::openWriter(databasePath());
        ASSERT_NE(nullptr, directory);
        ASSERT_TRUE(tqtest::succeeded(
            directory->mapClientEngines(kClient, kAppType, {kCloud, kEmptyCloud})));
    }
    int result = -99;
    EXPECT_EQ((std::vector<int>{kCloud, kEmptyCloud}), clientEngines(kClient, kAppType, result));
    EXPECT_EQ(2, result);
}

TEST_P(ArchiveManagerTest, ApplicationEnginesComeInStoredOrder) {
    int result = -99;
    EXPECT_EQ((std::vector<int>{kCloud, kThirdCloud}), applicationEngines(kApplication, result));
    EXPECT_EQ(2, result);
    EXPECT_EQ((std::vector<int>{kEmptyCloud}), applicationEngines(-1, result));
    EXPECT_EQ(1, result);
    EXPECT_TRUE(applicationEngines(777, result).empty());
    EXPECT_EQ(0, result);
}

TEST_P(ArchiveManagerTest, MissingArgumentsFail) {
    GetContentIndexEngineListArgs_t args;
    GetContentIndexEngineListRet_t ret;
    EXPECT_LT(ArchiveManagerCS(nullptr).getContentIndexEngineList(nullptr, &ret), 0);
    EXPECT_LT(ArchiveManagerCS(nullptr).getContentIndexEngineList(&args, nullptr), 0);
    EXPECT_LT(ArchiveManagerDS().getContentIndexEngineList(nullptr, nullptr), 0);
}

TQ_ON_EVERY_BACKEND(ArchiveManagerTest);

}  // namespace
