#include "DirectoryTestSupport.h"

namespace tqtest {

const char* const DirectoryTest::kClientHost = "ci-one.example:8400";
const char* const DirectoryTest::kWideHost = "wide.example:8401";
const char* const DirectoryTest::kCloudName = "Cloud Seven";

DirectoryTest::DirectoryTest()
    : m_databasePath(m_folder.path() + "/directory.db"),
      m_databasePathSetting(tqdir::kDatabasePathEnv, m_databasePath) {}

void DirectoryTest::createSampleDirectory() {
    tqdir::DirectoryWriter directory(m_databasePath,
                                     tqdir::DirectoryWriter::Open::CreateIfMissing);
    directory.addCell(kCell, kCellNumber);
    directory.addCell(kCellWithoutNumber, 0);
    directory.addCell(kMinusOne, kMinusOneCellNumber);
    directory.addClient(kClient, kCell, kClientHost);
    directory.addClient(kClientWithoutHost, kCell, "");
    directory.addClient(kClientOfOtherCell, kCellWithoutNumber, "other.example");
    directory.addClient(kWideClient, kCell, kWideHost);
    directory.addClient(kMinusOne, kMinusOne, "minus-one.example");
    directory.addApplication(kApplication, kCell, kClient, kAppType);
    directory.addApplication(kMinusOne, kMinusOne, kMinusOne, kAppType);
    directory.addCloud(kCloud, kCloudName);
    directory.addCloud(kEmptyCloud, "Empty");
    directory.addCloud(kThirdCloud, "Third");
    directory.addCloud(kWideCloud, "Wide");
    // Members deliberately not in id order: readers must keep stored order.
    directory.addCloudMember(kCloud, kClientWithoutHost, 3);
    directory.addCloudMember(kCloud, kWideClient, 0);
    directory.addCloudMember(kCloud, kClient, 1);
    directory.mapClientEngines(kClient, kAppType, {kEmptyCloud, kThirdCloud, kCloud});
    directory.mapClientEngines(kClient, kOtherAppType, {kThirdCloud});
    directory.mapClientEngines(kClient, kWideCloudAppType, {kWideCloud});
    directory.mapApplicationEngines(kApplication, {kCloud, kThirdCloud});
    directory.mapApplicationEngines(kMinusOne, {kEmptyCloud});
}

}  // namespace tqtest
