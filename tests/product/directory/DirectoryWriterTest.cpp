// DirectoryWriter keeps the directory consistent.
#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>

#include "ArchiveManager.h"
#include "DirectoryTestSupport.h"
#include "TQAppMgr.h"

namespace {

using tqdir::DirectoryError;
using tqdir::DirectoryWriter;
using tqtest::DirectoryTest;

class DirectoryWriterTest : public DirectoryTest {
protected:
    void SetUp() override { createSampleDirectory(); }

    std::unique_ptr<DirectoryWriter> open() {
        return std::make_unique<DirectoryWriter>(databasePath(), DirectoryWriter::Open::MustExist);
    }
};

TEST_P(DirectoryWriterTest, RecordsMustReferToExistingRecords) {
    const auto directory = open();
    EXPECT_THROW(directory->addClient(300, 999, "host"), DirectoryError);
    EXPECT_THROW(directory->addApplication(600, kCell, 999, kAppType), DirectoryError);
    EXPECT_THROW(directory->addCloudMember(999, kClient, 1), DirectoryError);
    EXPECT_THROW(directory->addCloudMember(kCloud, 999, 1), DirectoryError);
    EXPECT_THROW(directory->mapClientEngines(kClient, kAppType, {kCloud, 999}), DirectoryError);
    EXPECT_THROW(directory->mapApplicationEngines(999, {kCloud}), DirectoryError);
}

TEST_P(DirectoryWriterTest, FailedRemapKeepsThePreviousList) {
    EXPECT_THROW(open()->mapApplicationEngines(kApplication, {kEmptyCloud, 999}), DirectoryError);
    GetContentIndexEngineListArgsDS_t args;
    args.applicationId = kApplication;
    GetContentIndexEngineListRetDS_t ret;
    EXPECT_EQ(2, ArchiveManagerDS().getContentIndexEngineList(&args, &ret));
}

TEST_P(DirectoryWriterTest, CellZeroIsReservedForAnyCell) {
    EXPECT_THROW(open()->addCell(tqdir::kAnyCell, 5), DirectoryError);
}

TEST_P(DirectoryWriterTest, ApplicationStaysInTheCellOfItsClient) {
    const auto directory = open();
    EXPECT_THROW(directory->addApplication(600, kCellWithoutNumber, kClient, kAppType),
                 DirectoryError);
    directory->addClient(kClient, kCellWithoutNumber, kClientHost);
    const std::unique_ptr<TQClient> client(
        ApplicationId(kCellWithoutNumber, kApplication).getClient(nullptr));
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(static_cast<unsigned long>(kClient), client->clientId());
}

TEST_P(DirectoryWriterTest, AddingAMemberAgainKeepsItsPlaceAndUpdatesItsWord) {
    open()->addCloudMember(kCloud, kClientWithoutHost, 0);
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
    EXPECT_THROW(DirectoryWriter(foreign, DirectoryWriter::Open::CreateIfMissing),
                 DirectoryError);
    EXPECT_THROW(DirectoryWriter(foreign, DirectoryWriter::Open::MustExist), DirectoryError);
}

TQ_ON_EVERY_BACKEND(DirectoryWriterTest);

}  // namespace
