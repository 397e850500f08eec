#include "tqci/Targets.h"

#include <list>
#include <optional>

#include "ArchiveManager.h"
#include "TQAppMgr.h"
#include "TqIds.h"
#include "appmgr/TqDirectory.h"

namespace {

// Bit of a cloud member's property word that marks the cloud's CI server.
constexpr unsigned long kCiServerProperty = 1;

// getCloudClientList's result when the directory has no such cloud.
constexpr int kCloudNotFound = 1;

// The CI server of a cloud; none when the directory lists none. False when the
// directory could not be asked.
bool ciServerOfCloud(int cloudId, std::optional<int>& server) {
    server.reset();
    ContentIndexEngine engine(tq::widenId(cloudId));
    std::list<unsigned long> clients;
    std::list<unsigned long> properties;
    std::string name;
    const int status = engine.getCloudClientList(clients, properties, name, nullptr);
    if (status != 0) {
        return status == kCloudNotFound;
    }
    auto client = clients.begin();
    for (auto property = properties.begin();
         client != clients.end() && property != properties.end(); ++client, ++property) {
        if (*property & kCiServerProperty) {
            server = tq::narrowId(*client);
            break;
        }
    }
    return true;
}

std::string joined(const std::vector<int>& ids) {
    std::string text;
    for (const int id : ids) {
        if (!text.empty()) {
            text += ", ";
        }
        text += std::to_string(id);
    }
    return text;
}

std::string noServerFor(const std::string& subject) {
    return "the directory lists no CI server for " + subject + ": nothing to erase";
}

std::string cannotAsk(const std::string& subject) {
    return "the directory at " + tqappmgr::describeDatabasePath() +
           " could not be asked which CI servers serve " + subject +
           " (is the database there, and its server up?)";
}

// The servers of the clouds a manager listed, or unknown when it failed.
Reach fromManager(int status, const std::vector<int>& cloudIds, const std::string& subject) {
    Reach reach = status < 0 ? Reach{} : serversOfClouds(cloudIds);
    reach.reasonWhenNone = noServerFor(subject);
    reach.reasonWhenUnknown = cannotAsk(subject);
    return reach;
}

}  // namespace

Reach serversOfClient(int clientId, int appType) {
    ArchiveManagerCS manager(nullptr);
    GetContentIndexEngineListArgs_t args;
    GetContentIndexEngineListRet_t ret;
    args.clientId = clientId;
    args.appType = appType;
    const int status = manager.getContentIndexEngineList(&args, &ret);
    return fromManager(
        status, ret.engineIds,
        "client " + std::to_string(clientId) + " app type " + std::to_string(appType));
}

Reach serversOfApplication(int applicationId) {
    ArchiveManagerDS manager;
    GetContentIndexEngineListArgsDS_t args;
    GetContentIndexEngineListRetDS_t ret;
    args.applicationId = applicationId;
    const int status = manager.getContentIndexEngineList(&args, &ret);
    return fromManager(status, ret.engineIds, "application " + std::to_string(applicationId));
}

Reach serversOfClouds(const std::vector<int>& cloudIds) {
    Reach reach;
    reach.known = true;
    const std::string subject = (cloudIds.size() == 1 ? "cloud " : "clouds ") + joined(cloudIds);
    reach.reasonWhenNone = noServerFor(subject);
    reach.reasonWhenUnknown = cannotAsk(subject);
    for (const int cloudId : cloudIds) {
        std::optional<int> server;
        if (!ciServerOfCloud(cloudId, server)) {
            reach.known = false;
        } else {
            reach.serverOfCloud[cloudId] = server;
            if (server) {
                reach.servers.push_back(*server);
            }
        }
    }
    return reach;
}
