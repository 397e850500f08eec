#include "Targets.h"

#include <list>
#include <optional>

#include "ArchiveManager.h"
#include "TQAppMgr.h"
#include "TqIds.h"

namespace {

// Bit of a cloud member's property word that marks the cloud's CI server.
constexpr unsigned long kCiServerProperty = 1;

// The CI server of a cloud; none when the directory lists none or cannot say.
std::optional<int> ciServerOfCloud(int cloudId) {
    ContentIndexEngine engine(tq::widenId(cloudId));
    std::list<unsigned long> clients;
    std::list<unsigned long> properties;
    std::string name;
    if (engine.getCloudClientList(clients, properties, name, nullptr) != 0) {
        return std::nullopt;
    }
    auto client = clients.begin();
    for (auto property = properties.begin(); client != clients.end() && property != properties.end();
         ++client, ++property) {
        if (*property & kCiServerProperty) {
            return tq::narrowId(*client);
        }
    }
    return std::nullopt;
}

std::string joined(const std::vector<int>& ids) {
    std::string text;
    for (const int id : ids) {
        if (!text.empty()) text += ", ";
        text += std::to_string(id);
    }
    return text;
}

std::string noServerFor(const std::string& subject) {
    return "the directory lists no CI server for " + subject + ": nothing to erase";
}

}  // namespace

Reach serversOfClient(int clientId, int appType) {
    ArchiveManagerCS manager(nullptr);
    GetContentIndexEngineListArgs_t args;
    GetContentIndexEngineListRet_t ret;
    args.clientId = clientId;
    args.appType = appType;
    const int status = manager.getContentIndexEngineList(&args, &ret);
    Reach reach = status < 0 ? Reach{} : serversOfClouds(ret.engineIds);
    reach.reasonWhenNone =
        noServerFor("client " + std::to_string(clientId) + " app type " + std::to_string(appType));
    return reach;
}

Reach serversOfApplication(int applicationId) {
    ArchiveManagerDS manager;
    GetContentIndexEngineListArgsDS_t args;
    GetContentIndexEngineListRetDS_t ret;
    args.applicationId = applicationId;
    const int status = manager.getContentIndexEngineList(&args, &ret);
    Reach reach = status < 0 ? Reach{} : serversOfClouds(ret.engineIds);
    reach.reasonWhenNone = noServerFor("application " + std::to_string(applicationId));
    return reach;
}

Reach serversOfClouds(const std::vector<int>& cloudIds) {
    Reach reach;
    reach.known = true;
    reach.reasonWhenNone = noServerFor((cloudIds.size() == 1 ? "cloud " : "clouds ") + joined(cloudIds));
    for (const int cloudId : cloudIds) {
        if (const std::optional<int> server = ciServerOfCloud(cloudId)) {
            reach.servers.push_back(*server);
        }
    }
    return reach;
}
