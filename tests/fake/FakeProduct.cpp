// The fake product layer: implementations of every product class the helper
// library declares, answering from the test's script and journaling each call.

#include "FakeProduct.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "ArchiveManager.h"
#include "EvDebug.h"
#include "TQAppMgr.h"
#include "TQPlatformInfo.h"
#include "TqSession.h"
#include "YxError.h"

namespace fake {

namespace {
World* gWorld = nullptr;

template <typename... Parts>
void journal(const Parts&... parts) {
    if (!world().journaling)
        return;
    std::ostringstream line;
    (line << ... << parts);
    world().calls.push_back(line.str());
}

void recordSent(const std::string& session, unsigned long code, tqsDatabuf_v2& body, int flags,
                int wait) {
    SentMessage message;
    message.session = session;
    message.code = code;
    message.length = body.getValidLen();
    message.flags = flags;
    message.wait = wait;
    const char* data = body.getDataBuffer();
    if (code == tqmsg::kEraseDataReq && message.length >= sizeof(tqmsg::EraseDataReq)) {
        message.record.assign(data, data + sizeof(tqmsg::EraseDataReq));
        const auto request = message.eraseRequest();
        if (request.path != nullptr) {
            message.path = request.path;
        }
    } else if (data != nullptr) {
        message.record.assign(data, data + message.length);
    }
    world().sent.push_back(message);
}

std::string fieldText(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

// An archive manager's answer from `lists`: 0 and no clouds when nothing was
// scripted for `key`, otherwise the scripted result (and clouds unless it failed).
template <typename Key>
int engineListAnswer(const std::map<Key, EngineList>& lists, const Key& key,
                     std::vector<int>& engineIds) {
    const auto list = lists.find(key);
    if (list == lists.end()) {
        return 0;
    }
    if (list->second.result >= 0) {
        engineIds = list->second.engineIds;
    }
    return list->second.result;
}
}  // namespace

World& world() {
    if (gWorld == nullptr) {
        gWorld = new World;
    }
    return *gWorld;
}

void reset() { world() = World(); }

std::vector<std::string> callsStartingWith(const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& call : world().calls) {
        if (call.compare(0, prefix.size(), prefix) == 0) {
            out.push_back(call);
        }
    }
    return out;
}

std::vector<SentMessage> sentWithCode(unsigned long code) {
    std::vector<SentMessage> out;
    for (const auto& message : world().sent) {
        if (message.code == code) {
            out.push_back(message);
        }
    }
    return out;
}

std::vector<std::string> sendSessions(unsigned long code) {
    std::vector<std::string> out;
    for (const auto& message : sentWithCode(code)) {
        out.push_back(message.session);
    }
    return out;
}

std::vector<std::string> attachedHosts() {
    std::vector<std::string> out;
    for (const auto& attach : world().attaches) {
        out.push_back(attach.second);
    }
    return out;
}

std::vector<std::string> sessionEvents() {
    std::vector<std::string> out;
    for (const auto& call : world().calls) {
        if (call.rfind("CTqNetwork() ", 0) == 0 || call.rfind("~CTqNetwork() ", 0) == 0 ||
            call.rfind("Disconnect ", 0) == 0) {
            out.push_back(call);
        }
    }
    return out;
}

tqmsg::EraseDataReq SentMessage::eraseRequest() const {
    tqmsg::EraseDataReq request{};
    std::memcpy(&request, record.data(), std::min(record.size(), sizeof request));
    return request;
}

tqmsg::AfPruneReq SentMessage::pruneRequest() const {
    tqmsg::AfPruneReq request{};
    std::memcpy(&request, record.data(), std::min(record.size(), sizeof request));
    return request;
}

void addCell(unsigned long cellId, unsigned long number) { world().cellNumbers[cellId] = number; }

void addClient(int clientId, unsigned long cellId) {
    Client client;
    client.host = "host-" + std::to_string(clientId);
    client.cellId = cellId;
    world().clients[static_cast<unsigned long>(static_cast<long>(clientId))] = client;
}

void addCloudServedBy(int cloudId, int serverClientId) {
    Cloud cloud;
    cloud.clients = {900ul, static_cast<unsigned long>(static_cast<long>(serverClientId))};
    cloud.properties = {0ul, 1ul};
    world().clouds[static_cast<unsigned long>(static_cast<long>(cloudId))] = cloud;
}

}  // namespace fake

using fake::journal;
using fake::world;

// ---------------------------------------------------------------------------
// CYxError
// ---------------------------------------------------------------------------

CYxError::CYxError() : m_code(0) {}
CYxError::CYxError(int32_t code, const char* text) : m_code(code), m_text(text ? text : "") {}
CYxError::CYxError(const CYxError& other) = default;
CYxError& CYxError::operator=(const CYxError& other) = default;
CYxError::~CYxError() = default;
bool CYxError::IsError() const { return m_code < 0; }
int32_t CYxError::Code() const { return m_code; }
std::string CYxError::AsString() const {
    if (!m_text.empty()) {
        return m_text;
    }
    return m_code < 0 ? "fake error " + std::to_string(m_code) : "Success";
}

// ---------------------------------------------------------------------------
// tqsDatabuf_v2
// ---------------------------------------------------------------------------

tqsDatabuf_v2::tqsDatabuf_v2() : m_data(nullptr), m_validLen(0), m_owned(false) {
    ++world().buffersAlive;
    journal("tqsDatabuf_v2()");
}

tqsDatabuf_v2::~tqsDatabuf_v2() {
    reset();
    --world().buffersAlive;
    journal("~tqsDatabuf_v2()");
}

void tqsDatabuf_v2::setExternalBuffer(char* data, unsigned long length) {
    reset();
    m_data = data;
    m_validLen = length;
    journal("setExternalBuffer len=", length);
}

char* tqsDatabuf_v2::getDataBuffer() const { return m_data; }
unsigned long tqsDatabuf_v2::getValidLen() const { return m_validLen; }
bool tqsDatabuf_v2::ownsData() const { return m_owned; }

void tqsDatabuf_v2::adoptOwnedBuffer(char* data, unsigned long length) {
    reset();
    m_data = data;
    m_validLen = length;
    m_owned = true;
    ++world().ownedBodiesAlive;
}

void tqsDatabuf_v2::setValidLen(unsigned long length) { m_validLen = length; }

void tqsDatabuf_v2::reset() {
    if (m_owned) {
        delete[] m_data;
        --world().ownedBodiesAlive;
    }
    m_data = nullptr;
    m_validLen = 0;
    m_owned = false;
}

// ---------------------------------------------------------------------------
// CTqNetwork
// ---------------------------------------------------------------------------

struct CTqNetwork::Impl {
    std::string name;
    bool attached = false;
};

CTqNetwork::CTqNetwork() : m_impl(new Impl) {
    m_impl->name = "S" + std::to_string(++world().sessionsConstructed);
    ++world().sessionsAlive;
    journal("CTqNetwork() ", m_impl->name);
}

CTqNetwork::~CTqNetwork() {
    journal("~CTqNetwork() ", m_impl->name);
    --world().sessionsAlive;
    delete m_impl;
}

CYxError CTqNetwork::Attach_RemoteDLL(const char* host, tqsExecuteRemoteDllType* service,
                                      const char* localName, int wait, bool& timedOut) {
    journal("Attach ", m_impl->name, " host=", host, " service=",
            fake::fieldText(service->remoteLibraryName, sizeof service->remoteLibraryName), "/",
            fake::fieldText(service->remoteEntryName, sizeof service->remoteEntryName),
            " local=", localName, " wait=", wait, " timedOut=", timedOut);
    if (world().journaling)
        world().attaches.emplace_back(m_impl->name, host);
    auto scripted = world().attachErrors.find(host);
    if (scripted != world().attachErrors.end() && scripted->second < 0) {
        return CYxError(scripted->second, ("attach refused by " + std::string(host)).c_str());
    }
    m_impl->attached = true;
    return CYxError();
}

CYxError CTqNetwork::SendXDRMessage(unsigned long code, tqsDatabuf_v2* body, int flags, int wait,
                                    bool& timedOut) {
    journal("Send ", m_impl->name, " code=", code, " len=", body->getValidLen(), " flags=", flags,
            " wait=", wait, " timedOut=", timedOut);
    if (world().journaling)
        fake::recordSent(m_impl->name, code, *body, flags, wait);
    int32_t result = m_impl->attached ? 0 : tqerr::kNotAttached;
    if (!world().sendResults.empty()) {
        result = world().sendResults.front();
        world().sendResults.pop_front();
    }
    return result < 0 ? CYxError(result, "fake send failed") : CYxError();
}

CYxError CTqNetwork::ReceiveXDRMessage(unsigned long* code, tqsDatabuf_v2* body,
                                       tqsHostProtocolHeader* header, int flags, int wait,
                                       bool& timedOut) {
    journal("Receive ", m_impl->name, " code=", *code, " len=", body->getValidLen(),
            " header=", header ? "set" : "null", " flags=", flags, " wait=", wait,
            " timedOut=", timedOut);
    fake::Reply reply;
    if (!world().replies.empty()) {
        reply = world().replies.front();
        world().replies.pop_front();
    }
    if (reply.timedOut) {
        timedOut = true;
    }
    if (reply.error < 0) {
        return CYxError(reply.error, "fake receive failed");
    }
    if (reply.timedOut) {
        return CYxError();
    }
    *code = reply.code;
    tqmsg::EraseDataResp response{};
    response.status = reply.status;
    const size_t size = std::min(reply.bodySize, sizeof response);
    if (!body->ownsData() && body->getDataBuffer() != nullptr && body->getValidLen() >= size) {
        std::memcpy(body->getDataBuffer(), &response, size);
        body->setValidLen(size);
    } else {
        std::unique_ptr<char[]> owned(new char[size == 0 ? 1 : size]);
        std::memcpy(owned.get(), &response, size);
        body->adoptOwnedBuffer(owned.release(), size);
    }
    return CYxError();
}

CYxError CTqNetwork::FreeReceivedMessage(unsigned long code, tqsDatabuf_v2* body) {
    journal("Free ", m_impl->name, " code=", code);
    if (body->ownsData()) {
        body->reset();
    }
    return CYxError();
}

CYxError CTqNetwork::Disconnect(int wait, bool& timedOut) {
    journal("Disconnect ", m_impl->name, " wait=", wait, " timedOut=", timedOut);
    if (world().journaling)
        world().disconnects.emplace_back(m_impl->name, wait);
    m_impl->attached = false;
    int32_t result = 0;
    if (!world().disconnectResults.empty()) {
        result = world().disconnectResults.front();
        world().disconnectResults.pop_front();
    }
    return result < 0 ? CYxError(result, "fake disconnect failed") : CYxError();
}

// ---------------------------------------------------------------------------
// EvDebug
// ---------------------------------------------------------------------------

struct EvDebug::Impl {
    bool ready = false;
};

EvDebug::EvDebug(EvDebugFileInstance* instance) : m_instance(instance), m_impl(new Impl) {
    journal("EvDebug(", instance ? "instance" : "null", ")");
}

EvDebug::~EvDebug() {
    journal("~EvDebug()");
    delete m_impl;
}

bool EvDebug::initialize(unsigned int moduleId, long long level, bool toConsole,
                         const std::string& name) {
    journal("EvDebug::initialize ", moduleId, " ", level, " ", toConsole, " '", name, "'");
    bool result = true;
    if (!world().logInitResults.empty()) {
        result = world().logInitResults.front();
        world().logInitResults.pop_front();
    }
    m_impl->ready = m_impl->ready || result;
    return result;
}

void EvDebug::debug(const char* format, ...) {
    if (!m_impl->ready || !world().journaling) {
        return;
    }
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string line(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    std::vsnprintf(line.data(), line.size() + 1, format, args);
    va_end(args);
    world().logLines.push_back(line);
    world().callsBeforeLogLine.push_back(world().calls.size());
}

// ---------------------------------------------------------------------------
// Platform information
// ---------------------------------------------------------------------------

const char* TQPI_Focus::getFocus() {
    journal("TQPI_Focus::getFocus");
    return world().focus.c_str();
}

struct TQPlatformInfo::Impl {
    std::string machine;
};

TQPlatformInfo::TQPlatformInfo() : m_impl(new Impl) { journal("TQPlatformInfo()"); }
TQPlatformInfo::~TQPlatformInfo() {
    journal("~TQPlatformInfo()");
    delete m_impl;
}
void TQPlatformInfo::setFocus(const char* focus) { journal("setFocus ", focus); }
unsigned int TQPlatformInfo::getTQPlatformType() {
    journal("getTQPlatformType");
    return world().platformType;
}
int TQPlatformInfo::getVornServerClientName(char* buffer, int size) {
    journal("getVornServerClientName size=", size);
    std::snprintf(buffer, static_cast<size_t>(size), "%s", world().vornServerClientName.c_str());
    return 0;
}
const char* TQPlatformInfo::getPhysicalMachine() {
    journal("getPhysicalMachine");
    m_impl->machine = world().physicalMachine;
    return m_impl->machine.c_str();
}

// ---------------------------------------------------------------------------
// Directory
// ---------------------------------------------------------------------------

TQClient::TQClient(unsigned long vornCellId, unsigned long clientId)
    : m_vornCellId(vornCellId), m_clientId(clientId) {
    ++world().clientsAlive;
    journal("TQClient(cell=", vornCellId, " client=", clientId, ")");
}

TQClient::TQClient(unsigned long clientId) : m_vornCellId(0), m_clientId(clientId) {
    ++world().clientsAlive;
    journal("TQClient(client=", clientId, ")");
}

TQClient::~TQClient() {
    --world().clientsAlive;
    journal("~TQClient(", m_clientId, ")");
}

int TQClient::getMangledHostName(std::string& host, void* context) {
    journal("getMangledHostName ", m_clientId, context ? " context" : "");
    auto client = world().clients.find(m_clientId);
    if (client == world().clients.end()) {
        return -1;
    }
    if (client->second.hostResult == 0) {
        host = client->second.host;
    }
    return client->second.hostResult;
}

int TQClient::getVornCellId(unsigned long& vornCellId, void* context) {
    journal("getVornCellId ", m_clientId, context ? " context" : "");
    auto client = world().clients.find(m_clientId);
    if (client == world().clients.end()) {
        return -1;
    }
    int result = client->second.cellResult;
    if (!client->second.nextCellResults.empty()) {
        result = client->second.nextCellResults.front();
        client->second.nextCellResults.pop_front();
    }
    if (result == 0) {
        vornCellId = client->second.cellId;
    }
    return result;
}

ApplicationId::ApplicationId(unsigned long vornCellId, unsigned long applicationId)
    : m_vornCellId(vornCellId), m_applicationId(applicationId) {
    journal("ApplicationId(cell=", vornCellId, " app=", applicationId, ")");
}

ApplicationId::~ApplicationId() { journal("~ApplicationId(", m_applicationId, ")"); }

TQClient* ApplicationId::getClient(void* context) {
    journal("getClient ", m_applicationId, context ? " context" : "");
    auto owner = world().applicationOwners.find(m_applicationId);
    if (owner == world().applicationOwners.end()) {
        return nullptr;
    }
    return new TQClient(m_vornCellId, owner->second);
}

TQVornCell::TQVornCell(unsigned long vornCellId) : m_vornCellId(vornCellId) {
    journal("TQVornCell(", vornCellId, ")");
}

TQVornCell::~TQVornCell() { journal("~TQVornCell(", m_vornCellId, ")"); }

int TQVornCell::getVornCellNumber(unsigned long& number, void* context) {
    journal("getVornCellNumber ", m_vornCellId, " preset=", number, context ? " context" : "");
    auto cell = world().cellNumbers.find(m_vornCellId);
    if (cell == world().cellNumbers.end()) {
        return -1;
    }
    number = cell->second;
    return 0;
}

ContentIndexEngine::~ContentIndexEngine() { journal("~ContentIndexEngine(", m_cloudId, ")"); }

int ContentIndexEngine::getCloudClientList(std::list<unsigned long>& clients,
                                           std::list<unsigned long>& properties, std::string& text,
                                           void* context) {
    journal("getCloudClientList ", m_cloudId, context ? " context" : "");
    auto cloud = world().clouds.find(m_cloudId);
    if (cloud == world().clouds.end()) {
        return -1;
    }
    if (cloud->second.result == 0) {
        clients = cloud->second.clients;
        properties = cloud->second.properties;
        text = "cloud-" + std::to_string(m_cloudId);
    }
    return cloud->second.result;
}

// ---------------------------------------------------------------------------
// Archive managers
// ---------------------------------------------------------------------------

ArchiveManagerCS::ArchiveManagerCS(TqSessionSend* session) : m_session(session) {
    journal("ArchiveManagerCS(", session ? "session" : "null", ")");
}

ArchiveManagerCS::~ArchiveManagerCS() { journal("~ArchiveManagerCS()"); }

int ArchiveManagerCS::getContentIndexEngineList(GetContentIndexEngineListArgs_t* args,
                                                GetContentIndexEngineListRet_t* ret) {
    journal("CS.getContentIndexEngineList client=", args->clientId, " appType=", args->appType,
            " app=", args->applicationId);
    return fake::engineListAnswer(world().clientEngines, {args->clientId, args->appType},
                                  ret->engineIds);
}

ArchiveManagerDS::ArchiveManagerDS() { journal("ArchiveManagerDS()"); }

ArchiveManagerDS::~ArchiveManagerDS() { journal("~ArchiveManagerDS()"); }

int ArchiveManagerDS::getContentIndexEngineList(GetContentIndexEngineListArgsDS_t* args,
                                                GetContentIndexEngineListRetDS_t* ret) {
    journal("DS.getContentIndexEngineList client=", args->clientId, " appType=", args->appType,
            " app=", args->applicationId);
    return fake::engineListAnswer(world().applicationEngines, args->applicationId, ret->engineIds);
}
