// Shared fixture for the unit tests: a clean fake product layer per test and
// views into the helpers' protected state.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeProduct.h"
#include "TQCIHelper.h"

// The erase wrapper with its cache state readable by tests.
class InspectableWrapper : public CIEraseWrapper {
public:
    using CIEraseWrapper::ciServerClientIds;
    using CIEraseWrapper::clientSessions;
    using CIEraseWrapper::cloudIds;
    using CIEraseWrapper::currentClientId;
    using CIEraseWrapper::lastErasedAppId;
    using CIEraseWrapper::vornCellNumber;
    using CIHelperBase::initialized;
};

class HelperTest : public ::testing::Test {
public:
    // A cell 1 with number 4711, the usual setting of the tests.
    static constexpr int kCell = 1;
    static constexpr int kCellNumber = 4711;

protected:
    // Resets the fake before the derived fixture's helpers are constructed.
    HelperTest();
    void TearDown() override;

    // Log lines written so far.
    const std::vector<std::string>& lines() const { return fake::world().logLines; }
    // Whether some log line equals `text`.
    bool logged(const std::string& text) const;
    // How many log lines equal `text`.
    int countLogged(const std::string& text) const;
    // For each log line starting with `prefix`, the journal entry made just
    // after it was written ("" when none was).
    static std::vector<std::string> callsJustAfter(const std::string& prefix);
    // The sessions that requests with `code` were sent on, in order ("S2", ...).
    static std::vector<std::string> sendTargets(unsigned long code = tqmsg::kEraseDataReq) {
        return fake::sendSessions(code);
    }
};

// Scripts clouds each served by a CI server client 100 + c of the usual cell.
void serveClouds(const std::vector<int>& clouds);
// Scripts clouds all served by the one CI server client `server`.
void serveCloudsByOneServer(const std::vector<int>& clouds, int server);

// Scripts a client `clientId` whose data of `appType` is indexed by `clouds`,
// served as serveClouds() does.
void scriptClientClouds(int clientId, int appType, const std::vector<int>& clouds);
// Scripts an application whose migrated data is indexed by `clouds`, served
// as serveClouds() does.
void scriptApplicationClouds(int applicationId, const std::vector<int>& clouds);
