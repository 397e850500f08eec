#include "HelperTestSupport.h"

#include <algorithm>

HelperTest::HelperTest() {
    fake::reset();
    fake::failNothrowAllocation(0);
    fake::addCell(kCell, kCellNumber);
}

void HelperTest::TearDown() { fake::failNothrowAllocation(0); }

bool HelperTest::logged(const std::string& text) const { return countLogged(text) > 0; }

int HelperTest::countLogged(const std::string& text) const {
    return static_cast<int>(std::count(lines().begin(), lines().end(), text));
}

std::vector<std::string> HelperTest::callsJustAfter(const std::string& prefix) {
    const fake::World& world = fake::world();
    std::vector<std::string> calls;
    for (size_t i = 0; i < world.logLines.size(); ++i) {
        if (world.logLines[i].compare(0, prefix.size(), prefix) == 0) {
            const size_t made = world.callsBeforeLogLine[i];
            calls.push_back(made < world.calls.size() ? world.calls[made] : std::string());
        }
    }
    return calls;
}

void serveClouds(const std::vector<int>& clouds) {
    for (int cloud : clouds) {
        fake::addCloudServedBy(cloud, 100 + cloud);
        fake::addClient(100 + cloud, HelperTest::kCell);
    }
}

void serveCloudsByOneServer(const std::vector<int>& clouds, int server) {
    for (int cloud : clouds) {
        fake::addCloudServedBy(cloud, server);
    }
    fake::addClient(server, HelperTest::kCell);
}

void scriptClientClouds(int clientId, int appType, const std::vector<int>& clouds) {
    fake::world().clientEngines[{clientId, appType}].engineIds = clouds;
    serveClouds(clouds);
}

void scriptApplicationClouds(int applicationId, const std::vector<int>& clouds) {
    fake::world().applicationEngines[applicationId].engineIds = clouds;
    serveClouds(clouds);
}
