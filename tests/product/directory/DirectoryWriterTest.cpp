// DirectoryWriter keeps the directory consistent.
#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>

#include "ArchiveManager.h"
#include "DirectoryTestSupport.h"
#include "TQAppMgr.h"

namespace {

using tqappmgr::DirectoryWriter;
using tqtest::DirectoryTest;
using tqtest::succeeded;

class DirectoryWriterTest : public DirectoryTest {
protected:
    void SetUp() override {
        createSampleDirectory();
        directory = tqtest::openWriter(databasePath());
        ASSERT_NE(nullptr, directory);
    }

    std::unique_ptr<DirectoryWriter> directory;
};

TEST_P(DirectoryWriterTest, RecordsMustReferToExistingRecords) {
    const CYxError missingCell = directory->addClient(300, 999, "host");
    EXPECT_NE(std::string::npos, missingCell.AsString().find("there is no cell 999"))
        << missingCell.AsString();
    EXPECT_TRUE(directory->addApplication(600, kCell, 999, kAppType).IsError());
    EXPECT_TRUE(directory->addCloudMember(999, kClient, 1).IsError());
    EXPECT_TRUE(directory->addCloudMember(kCloud, 999, 1).IsError());
    EXPECT_TRUE(directory->mapClientEngines(kClient, kAppType, {kCloud, 999}).IsError());
    EXPECT_TRUE(directory->mapApplicationEngines(999, {kCloud}).IsError());
}

TEST_P(DirectoryWriterTest, FailedRemapKeepsThePreviousList) {
    EXPECT_TRUE(directory->mapApplicationEngines(kApplication, {kEmptyCloud, 999}).IsError());
    GetContentIndexEngineListArgsDS_t args;
    args.applicationId = kApplication;
    GetContentIndexEngineListRetDS_t ret;
    EXPECT_EQ(2, ArchiveManagerDS().getContentIndexEngineList(&args, &ret));
}

TEST_P(DirectoryWriterTest, CellZeroIsReservedForAnyCell) {
    EXPECT_TRUE(directory->addCell(tqappmgr::kAnyCell, 5).IsError());
}

TEST_P(DirectoryWriterTest, ApplicationStaysInTheCellOfItsClient) {
    EXPECT_TRUE(directory->addApplication(600, kCellWithoutNumber, kClient, kAppType).IsError());
    ASSERT_TRUE(succeeded(directory->addClient(kClient, kCellWithoutNumber, kClientHost)));
    const std::unique_ptr<TQClient> client(
        ApplicationId(kCellWithoutNumber, kApplication).getClient(nullptr));
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(static_cast<unsigned long>(kClient), client->clientId());
}

TEST_P(DirectoryWriterTest, AddingAMemberAgainKeepsItsPlaceAndUpdatesItsWord) {
    ASSERT_TRUE(succeeded(directory->addCloudMember(kCloud, kClientWithoutHost, 0)));
    std::list<unsigned long> clients;
    std::list<unsigned long> properties;
    std::string name;
    ASSERT_EQ(0, ContentIndexEngine(kCloud).getCloudClientList(clients, properties, name, nullptr));
    EXPECT_EQ(static_cast<unsigned long>(kClientWithoutHost), clients.front());
    EXPECT_EQ((std::list<unsigned long>{0, 0, 1}), properties);
}

TEST_P(DirectoryWriterTest, OtherDatabasesAreNotTakenOver) {
    const std::string foreign = otherLocation("foreign");
    ASSERT_TRUE(runSql(foreign, "CREATE TABLE notes (text TEXT)"));
    for (const auto mode :
         {DirectoryWriter::Open::CreateIfMissing, DirectoryWriter::Open::MustExist}) {
        std::unique_ptr<DirectoryWriter> other;
        EXPECT_EQ(tqerr::kNotADirectory, DirectoryWriter::open(foreign, mode, other).Code());
        EXPECT_EQ(nullptr, other);
    }
}

TQ_ON_EVERY_BACKEND(DirectoryWriterTest);

}  // namespace
