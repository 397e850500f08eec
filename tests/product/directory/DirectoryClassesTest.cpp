// The directory classes of libTQAppMgr against the sample directory.
#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <string>

#include "DirectoryTestSupport.h"
#include "TQAppMgr.h"
#include "TqIds.h"

namespace {

using tqtest::DirectoryTest;

class DirectoryClassesTest : public DirectoryTest {
protected:
    void SetUp() override { createSampleDirectory(); }

    static unsigned long id(int64_t stored) { return static_cast<unsigned long>(stored); }
};

constexpr char kUntouched[] = "untouched";
constexpr unsigned long kUntouchedNumber = 999;

// --- TQClient ---------------------------------------------------------------

TEST_P(DirectoryClassesTest, ClientInItsCellGivesHostAndCell) {
    TQClient client(id(kCell), id(kClient));
    std::string host;
    unsigned long cell = 0;
    EXPECT_EQ(0, client.getMangledHostName(host, nullptr));
    EXPECT_EQ(kClientHost, host);
    EXPECT_EQ(0, client.getVornCellId(cell, nullptr));
    EXPECT_EQ(id(kCell), cell);
}

TEST_P(DirectoryClassesTest, ClientWithoutCellIsFoundInItsOwnCell) {
    TQClient client(id(kClientOfOtherCell));
    std::string host;
    unsigned long cell = 0;
    EXPECT_EQ(0, client.getMangledHostName(host, nullptr));
    EXPECT_EQ("other.example", host);
    EXPECT_EQ(0, client.getVornCellId(cell, nullptr));
    EXPECT_EQ(id(kCellWithoutNumber), cell);
}

TEST_P(DirectoryClassesTest, ClientLookedUpInAnotherCellIsUnknown) {
    TQClient client(id(kCell), id(kClientOfOtherCell));
    std::string host = kUntouched;
    unsigned long cell = kUntouchedNumber;
    EXPECT_NE(0, client.getMangledHostName(host, nullptr));
    EXPECT_NE(0, client.getVornCellId(cell, nullptr));
    EXPECT_EQ(kUntouched, host);
    EXPECT_EQ(kUntouchedNumber, cell);
}

TEST_P(DirectoryClassesTest, UnknownClientFailsAndLeavesOutputsUntouched) {
    TQClient client(id(kCell), 4242);
    std::string host = kUntouched;
    unsigned long cell = kUntouchedNumber;
    EXPECT_NE(0, client.getMangledHostName(host, nullptr));
    EXPECT_NE(0, client.getVornCellId(cell, nullptr));
    EXPECT_EQ(kUntouched, host);
    EXPECT_EQ(kUntouchedNumber, cell);
}

TEST_P(DirectoryClassesTest, ClientWithoutHostNameHasNoMangledHostName) {
    TQClient client(id(kCell), id(kClientWithoutHost));
    std::string host = kUntouched;
    unsigned long cell = 0;
    EXPECT_NE(0, client.getMangledHostName(host, nullptr));
    EXPECT_EQ(kUntouched, host);
    EXPECT_EQ(0, client.getVornCellId(cell, nullptr));
}

TEST_P(DirectoryClassesTest, WidenedMinusOneIdsFindRowsStoredAsMinusOne) {
    TQClient client(tq::widenId(-1), tq::widenId(-1));
    std::string host;
    unsigned long cell = 0;
    EXPECT_EQ(0, client.getMangledHostName(host, nullptr));
    EXPECT_EQ("minus-one.example", host);
    EXPECT_EQ(0, client.getVornCellId(cell, nullptr));
    EXPECT_EQ(tq::widenId(-1), cell);
    EXPECT_EQ(-1, tq::narrowId(cell));
}

TEST_P(DirectoryClassesTest, ClientIdWiderThan32BitsIsNotConfusedWithItsLowBits) {
    std::string host;
    EXPECT_EQ(0, TQClient(id(kWideClient)).getMangledHostName(host, nullptr));
    EXPECT_EQ(kWideHost, host);
    EXPECT_NE(0, TQClient(id(kWideClient & 0xFFFFFFFF)).getMangledHostName(host, nullptr));
}

// --- ApplicationId -----------------------------------------------------------

TEST_P(DirectoryClassesTest, ApplicationGivesItsClientToTheCaller) {
    ApplicationId application(id(kCell), id(kApplication));
    const std::unique_ptr<TQClient> client(application.getClient(nullptr));
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(id(kClient), client->clientId());
    std::string host;
    EXPECT_EQ(0, client->getMangledHostName(host, nullptr));
    EXPECT_EQ(kClientHost, host);
}

TEST_P(DirectoryClassesTest, ClientRecordOutlivesTheApplicationObject) {
    std::unique_ptr<TQClient> client;
    {
        ApplicationId application(id(kMinusOne), id(kMinusOne));
        client.reset(application.getClient(nullptr));
    }
    ASSERT_NE(nullptr, client);
    unsigned long cell = 0;
    EXPECT_EQ(0, client->getVornCellId(cell, nullptr));
    EXPECT_EQ(tq::widenId(-1), cell);
}

TEST_P(DirectoryClassesTest, UnknownApplicationOrOtherCellGivesNoClient) {
    EXPECT_EQ(nullptr, ApplicationId(id(kCell), 9999).getClient(nullptr));
    EXPECT_EQ(nullptr, ApplicationId(id(kCellWithoutNumber), id(kApplication)).getClient(nullptr));
}

// --- TQVornCell --------------------------------------------------------------

TEST_P(DirectoryClassesTest, CellNumberOfKnownCell) {
    unsigned long number = 0;
    EXPECT_EQ(0, TQVornCell(id(kCell)).getVornCellNumber(number, nullptr));
    EXPECT_EQ(id(kCellNumber), number);
    EXPECT_EQ(0, TQVornCell(tq::widenId(-1)).getVornCellNumber(number, nullptr));
    EXPECT_EQ(id(kMinusOneCellNumber), number);
}

TEST_P(DirectoryClassesTest, CellWithoutNumberOrUnknownLeavesNumberUntouched) {
    for (const int64_t cell : {kCellWithoutNumber, int64_t{12345}}) {
        unsigned long number = kUntouchedNumber;
        EXPECT_NE(0, TQVornCell(id(cell)).getVornCellNumber(number, nullptr)) << cell;
        EXPECT_EQ(kUntouchedNumber, number) << cell;
    }
}

// --- ContentIndexEngine ------------------------------------------------------

TEST_P(DirectoryClassesTest, CloudMembersComeInStoredOrderWithTheirPropertyWords) {
    std::list<unsigned long> clients;
    std::list<unsigned long> properties;
    std::string name;
    EXPECT_EQ(
        0, ContentIndexEngine(id(kCloud)).getCloudClientList(clients, properties, name, nullptr));
    EXPECT_EQ((std::list<unsigned long>{id(kClientWithoutHost), id(kWideClient), id(kClient)}),
              clients);
    EXPECT_EQ((std::list<unsigned long>{3, 0, 1}), properties);
    EXPECT_EQ(kCloudName, name);
}

TEST_P(DirectoryClassesTest, CloudMembersAreAppendedToTheGivenLists) {
    std::list<unsigned long> clients{1};
    std::list<unsigned long> properties{2};
    std::string name;
    EXPECT_EQ(
        0, ContentIndexEngine(id(kCloud)).getCloudClientList(clients, properties, name, nullptr));
    EXPECT_EQ(4u, clients.size());
    EXPECT_EQ(1u, clients.front());
    EXPECT_EQ(4u, properties.size());
    EXPECT_EQ(2u, properties.front());
}

TEST_P(DirectoryClassesTest, CloudWithoutMembersGivesItsNameAndEmptyLists) {
    std::list<unsigned long> clients;
    std::list<unsigned long> properties;
    std::string name;
    EXPECT_EQ(
        0,
        ContentIndexEngine(id(kEmptyCloud)).getCloudClientList(clients, properties, name, nullptr));
    EXPECT_TRUE(clients.empty());
    EXPECT_TRUE(properties.empty());
    EXPECT_EQ("Empty", name);
}

TEST_P(DirectoryClassesTest, UnknownCloudFailsAndLeavesOutputsUntouched) {
    std::list<unsigned long> clients;
    std::list<unsigned long> properties;
    std::string name = kUntouched;
    EXPECT_NE(0, ContentIndexEngine(4444).getCloudClientList(clients, properties, name, nullptr));
    EXPECT_TRUE(clients.empty());
    EXPECT_TRUE(properties.empty());
    EXPECT_EQ(kUntouched, name);
}

TQ_ON_EVERY_BACKEND(DirectoryClassesTest);

}  // namespace
