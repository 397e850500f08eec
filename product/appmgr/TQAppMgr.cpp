// The directory classes, answered from the directory store.
#include "TQAppMgr.h"

#include <utility>

#include "appmgr/TqDirectory.h"

namespace {

// Results of the directory classes' queries.
constexpr int kOk = 0;
constexpr int kNotFound = 1;  // no such record, or it lacks the value asked for
constexpr int kDirectoryFailure = 2;

int resultOf(const CYxError& lookup) {
    if (!lookup.IsError()) {
        return kOk;
    }
    return tqappmgr::isNotFound(lookup) ? kNotFound : kDirectoryFailure;
}

}  // namespace

TQClient::TQClient(unsigned long vornCellId, unsigned long clientId)
    : m_vornCellId(vornCellId), m_clientId(clientId) {}

TQClient::TQClient(unsigned long clientId)
    : TQClient(tqappmgr::fromStoredId(tqappmgr::kAnyCell), clientId) {}

TQClient::~TQClient() = default;

int TQClient::getMangledHostName(std::string& host, void* /*context*/) {
    tqappmgr::Client client;
    const CYxError lookup = tqappmgr::findClient(tqappmgr::toStoredId(m_vornCellId),
                                                 tqappmgr::toStoredId(m_clientId), client);
    if (lookup.IsError()) {
        return resultOf(lookup);
    }
    if (client.host.empty()) {
        return kNotFound;
    }
    host = std::move(client.host);
    return kOk;
}

int TQClient::getVornCellId(unsigned long& vornCellId, void* /*context*/) {
    tqappmgr::Client client;
    const CYxError lookup = tqappmgr::findClient(tqappmgr::toStoredId(m_vornCellId),
                                                 tqappmgr::toStoredId(m_clientId), client);
    if (!lookup.IsError()) {
        vornCellId = tqappmgr::fromStoredId(client.cellId);
    }
    return resultOf(lookup);
}

ApplicationId::ApplicationId(unsigned long vornCellId, unsigned long applicationId)
    : m_vornCellId(vornCellId), m_applicationId(applicationId) {}

ApplicationId::~ApplicationId() = default;

TQClient* ApplicationId::getClient(void* /*context*/) {
    tqappmgr::Application application;
    if (tqappmgr::findApplication(tqappmgr::toStoredId(m_vornCellId),
                                  tqappmgr::toStoredId(m_applicationId), application)
            .IsError()) {
        return nullptr;
    }
    // The caller owns the record; the application lives in its client's cell.
    return new TQClient(tqappmgr::fromStoredId(application.cellId),
                        tqappmgr::fromStoredId(application.clientId));
}

TQVornCell::TQVornCell(unsigned long vornCellId) : m_vornCellId(vornCellId) {}

TQVornCell::~TQVornCell() = default;

int TQVornCell::getVornCellNumber(unsigned long& number, void* /*context*/) {
    int64_t stored = 0;
    const CYxError lookup = tqappmgr::findCellNumber(tqappmgr::toStoredId(m_vornCellId), stored);
    if (lookup.IsError()) {
        return resultOf(lookup);
    }
    if (stored == 0) {
        return kNotFound;  // the cell has no number
    }
    number = tqappmgr::fromStoredId(stored);
    return kOk;
}

ContentIndexEngine::~ContentIndexEngine() = default;

int ContentIndexEngine::getCloudClientList(std::list<unsigned long>& clients,
                                           std::list<unsigned long>& properties, std::string& text,
                                           void* /*context*/) {
    tqappmgr::Cloud cloud;
    const CYxError lookup = tqappmgr::findCloud(tqappmgr::toStoredId(m_cloudId), cloud);
    if (lookup.IsError()) {
        return resultOf(lookup);
    }
    for (const tqappmgr::CloudMember& member : cloud.members) {
        clients.push_back(tqappmgr::fromStoredId(member.clientId));
        properties.push_back(tqappmgr::fromStoredId(member.properties));
    }
    text = std::move(cloud.name);
    return kOk;
}
