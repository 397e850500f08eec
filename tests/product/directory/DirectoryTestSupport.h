// Temporary directory databases for the directory tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "TqDirectory.h"

namespace tqtest {

// Points TQ_DIRECTORY_DB at a database path in a temporary folder (the file
// itself is not created) and restores the variable afterwards.
class DirectoryTest : public ::testing::Test {
protected:
    DirectoryTest();

    const std::string& databasePath() const { return m_databasePath; }
    // Create the database with the sample records below.
    void createSampleDirectory();

public:
    // The sample directory.
    static constexpr int64_t kCell = 1;             // number kCellNumber
    static constexpr int64_t kCellNumber = 42;
    static constexpr int64_t kCellWithoutNumber = 2;
    static constexpr int64_t kMinusOne = -1;        // a cell, client and application
    static constexpr int64_t kMinusOneCellNumber = 77;
    static constexpr int64_t kClient = 100;         // cell kCell, host kClientHost
    static constexpr int64_t kClientWithoutHost = 101;
    static constexpr int64_t kClientOfOtherCell = 200;
    static constexpr int64_t kWideClient = 0x10000000C;  // cell kCell, host kWideHost
    static constexpr int64_t kApplication = 500;    // of kClient, type kAppType
    static constexpr int64_t kAppType = 33;
    static constexpr int64_t kOtherAppType = 34;
    static constexpr int64_t kWideCloudAppType = 35;
    static constexpr int64_t kCloud = 7;            // members 101 (3), wide (0), 100 (1)
    static constexpr int64_t kEmptyCloud = 8;
    static constexpr int64_t kThirdCloud = 3;
    static constexpr int64_t kWideCloud = 0x100000005;
    static const char* const kClientHost;
    static const char* const kWideHost;
    static const char* const kCloudName;

private:
    TemporaryFolder m_folder;
    std::string m_databasePath;
    ScopedEnvironment m_databasePathSetting;
};

}  // namespace tqtest
