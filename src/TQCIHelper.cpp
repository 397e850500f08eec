// TQCIHelper: keeps the content index in step with deletions.
//
// The file reads in the order an erase runs: the plain entry points, the helper
// base (log, initialisation, attachment, lookups), the erase wrapper (cloud
// resolution, session cache, erase messages, the three erase operations), then
// archive-file pruning. The library reaches the network, the directory and the
// log only through the product classes declared in platform/.

#include "TQCIHelper.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "ArchiveManager.h"
#include "TQAppMgr.h"
#include "TQPlatformInfo.h"
#include "TqIds.h"
#include "TqMessages.h"

// Version stamp: one line in a section that is not loaded at run time, read by
// tools that inspect the installed file.
#ifndef TQCI_VERSION_LINE
#error "TQCI_VERSION_LINE must be defined by the build"
#endif
asm(".pushsection TqVersion,\"\",@progbits\n\t"
    ".ascii \"" TQCI_VERSION_LINE "\\n\"\n\t"
    ".popsection");

namespace {

using tqmsg::AfPruneReq;
using tqmsg::EraseDataReq;
using tqmsg::EraseDataResp;
using tqmsg::kAfPruneReq;
using tqmsg::kEraseDataReq;
using tqmsg::kEraseDataResp;

constexpr int kAttachWait = 120;
constexpr int kDisconnectWait = 120;
// A session whose exchange failed is closed without waiting for the server:
// nothing more is owed to it, and a hung server must not hold the call up.
constexpr int kFailedSessionDisconnectWait = 0;
constexpr int kReceiveWait = 600;
constexpr int kSendFlags = 0;
constexpr int kSendWait = -1;  // the session's default send wait
constexpr int kReceiveFlags = 0;

// What the helper's debug log is opened with.
constexpr unsigned int kLogModuleId = 0x27C30418;
constexpr long long kLogLevel = -123456;

constexpr unsigned int kPlatformTypeVornServer = 1u;
constexpr unsigned long kCiCdsClientProperty = 1ul;
constexpr size_t kLocalNameSize = 256;
constexpr size_t kServiceNameSize = 256;

// Offset of the status in an erase response read straight from a buffer.
constexpr size_t kRespStatusOffset = offsetof(EraseDataResp, status);

// Guards the shared line buffer: helpers on different threads must not
// overwrite each other's lines while formatting. Uncontended it costs a few
// nanoseconds; a buffer per call would put 64 KiB on hosts' thread stacks.
std::mutex sLogLock;

// An erase request for one CI server: the record and the private copy of the
// path it points to. The copy is owned here, never through record.path: a
// receive on the same buffer may overwrite the record.
struct EraseRequest {
    EraseDataReq record;
    std::unique_ptr<char[]> pathCopy;
    size_t pathLength = 0;
};

// Fill `request` and point `buffer` at it. False when the path copy cannot be
// allocated (after the line that says so).
bool buildEraseRequest(CIHelperBase& helper, tqsDatabuf_v2& buffer, EraseRequest& request,
                       int cellNumber, int clientId, int appType, const char* path,
                       int32_t eraseKind) {
    std::memset(&request.record, 0, sizeof request.record);
    request.record.eraseKind = eraseKind;
    request.pathLength = std::strlen(path);
    request.pathCopy.reset(new (std::nothrow) char[request.pathLength + 1]);
    if (!request.pathCopy) {
        helper.CIHelperLog("Failed to allocate memory for the path!!!");
        return false;
    }
    std::memcpy(request.pathCopy.get(), path, request.pathLength + 1);
    request.record.path = request.pathCopy.get();
    request.record.vornCellNumber = cellNumber;
    request.record.clientId = clientId;
    request.record.appType = appType;
    buffer.setExternalBuffer(reinterpret_cast<char*>(&request.record),
                             sizeof(EraseDataReq) + request.pathLength + 1);
    return true;
}

// Disconnect, destroy and forget the cached session of a CI server whose send
// or receive reported an error. Kept, it would fail every later exchange (a
// broken connection) or hand a late answer to the next request (a timed-out
// receive); forgotten, the next call attaches afresh.
void discardFailedSession(std::map<int, CTqNetwork*>& sessions, int ciServerClientId) {
    const auto cached = sessions.find(ciServerClientId);
    if (cached == sessions.end()) {
        return;
    }
    const std::unique_ptr<CTqNetwork> session(cached->second);
    sessions.erase(cached);
    bool timedOut = false;
    (void)session->Disconnect(kFailedSessionDisconnectWait, timedOut);
}

// Send a built erase request to one CI server over its cached session and wait
// for its verdict. True when the server confirmed; otherwise false after one
// line that says why (and without the session when the exchange failed).
bool runStandardEraseExchange(CIHelperBase& helper, std::map<int, CTqNetwork*>& sessions,
                              CTqNetwork& session, tqsDatabuf_v2& buffer,
                              const EraseRequest& request, int ciServerClientId) {
    bool sendTimedOut = false;
    CYxError error = session.SendXDRMessage(kEraseDataReq, &buffer, kSendFlags, kSendWait,
                                            sendTimedOut);
    if (error.IsError()) {
        helper.CIHelperLog(
            "Failed to send TQS_PM_CONTENTIDX_ERASE_DATA_REQ for CIServer [%d] vornCellNum [%d] "
            "client ID[%d]. Error:[%s]",
            ciServerClientId, request.record.vornCellNumber, request.record.clientId,
            error.AsString().c_str());
        discardFailedSession(sessions, ciServerClientId);
        return false;
    }

    unsigned long code = kEraseDataResp;
    EraseDataResp response;
    std::memset(&response, 0, sizeof response);
    buffer.setExternalBuffer(reinterpret_cast<char*>(&response), sizeof response);
    bool timedOut = false;
    error = session.ReceiveXDRMessage(&code, &buffer, nullptr, kReceiveFlags, kReceiveWait,
                                      timedOut);
    if (error.IsError()) {
        helper.CIHelperLog("Failed to receive TQS_PM_CONTENTIDX_ERASE_DATA_RESP. Error:[%s]",
                           error.AsString().c_str());
        discardFailedSession(sessions, ciServerClientId);
        return false;
    }

    bool confirmed = false;
    if (code != kEraseDataResp) {
        helper.CIHelperLog("Incorrect message %lu received", code);
    } else if (response.status == 0) {
        helper.CIHelperLog(
            "Received [%d] as the status code from client [%d], Apptype [%d], CIServer [%d]",
            response.status, request.record.clientId, request.record.appType, ciServerClientId);
    } else {
        confirmed = true;
    }
    (void)session.FreeReceivedMessage(kEraseDataResp, &buffer);
    return confirmed;
}

// The status of an erase response read where the buffer points after a
// receive; 0 (not confirmed) when the body is too short to hold one.
int32_t statusInReceivedBody(const tqsDatabuf_v2& buffer) {
    const char* body = buffer.getDataBuffer();
    if (body == nullptr || buffer.getValidLen() < kRespStatusOffset + sizeof(int32_t)) {
        return 0;
    }
    int32_t status;
    std::memcpy(&status, body + kRespStatusOffset, sizeof status);
    return status;
}

// Disconnect and destroy the prune session, if one is held. Prunes have no
// answer: a server that did not close in turn (it reset the session because
// it could not carry them out, or never closed) is the only sign that they
// were lost, so that is logged.
void closePruneSession(CIHelperBase& helper, std::unique_ptr<CTqNetwork>& session,
                       bool& disconnectFlag, int ciServerClientId) {
    if (!session) {
        return;
    }
    const CYxError error = session->Disconnect(kDisconnectWait, disconnectFlag);
    if (error.IsError()) {
        helper.CIHelperLog(
            "Failed to disconnect from document processing server [%d]; its prune requests may "
            "not have been carried out. Error:[%s]",
            ciServerClientId, error.AsString().c_str());
    }
    session.reset();
}

}  // namespace

// ---------------------------------------------------------------------------
// Plain entry points
// ---------------------------------------------------------------------------

extern "C" {

void* initEraseCIHelper() {
    return static_cast<void*>(new (std::nothrow) CIEraseWrapper);
}

void deInitEraseCIHelper(void* handle) {
    delete static_cast<CIEraseWrapper*>(handle);
}

int eraseBackupData(void* handle, int vornCellId, int clientId, int appType, const char* path,
                    bool flag) {
    if (handle == nullptr) {
        return 1;
    }
    return static_cast<CIEraseWrapper*>(handle)->eraseBackupData(vornCellId, clientId, appType,
                                                                 path, flag);
}

int eraseMigratedData(void* handle, int vornCellId, int applicationId, const char* path,
                      bool flag) {
    if (handle == nullptr) {
        return 1;
    }
    return static_cast<CIEraseWrapper*>(handle)->eraseMigratedData(vornCellId, applicationId,
                                                                   path, flag);
}

}  // extern "C"

// ---------------------------------------------------------------------------
// CIHelperBase: log, initialisation, attachment, lookups
// ---------------------------------------------------------------------------

char CIHelperBase::sMessage[CIHelperBase::kMessageSize];

CIHelperBase::CIHelperBase()
    : initialized(false), serverListResolved(false), serverListAppType(0), logger(nullptr) {}

CIHelperBase::~CIHelperBase() {
    bool timedOut = false;
    (void)defaultSession.Disconnect(kDisconnectWait, timedOut);
    initialized = false;
}

bool CIHelperBase::init() {
    if (initialized) {
        return true;
    }
    if (!logger.initialize(kLogModuleId, kLogLevel, false, std::string())) {
        return false;
    }
    if (!initialize()) {
        logger.debug("%s", "Failed to initialize CI helper object.");
        return false;
    }
    initialized = true;
    return true;
}

void CIHelperBase::CIHelperLog(const char* format, ...) {
    if (!initialized || format == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(sLogLock);
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(sMessage, kMessageSize, format, args);
    va_end(args);
    if (length < 0) {
        (void)std::snprintf(sMessage, kMessageSize, "(unformattable log line: %s)", format);
    } else if (static_cast<size_t>(length) >= kMessageSize) {
        // Cut to the buffer; the marker tells a reader the line was longer.
        static constexpr char kCutMarker[] = "...";
        std::memcpy(sMessage + kMessageSize - sizeof kCutMarker, kCutMarker, sizeof kCutMarker);
    }
    // The finished line is data: a per cent sign in it is never read as a directive.
    logger.debug("%s", sMessage);
}

bool CIHelperBase::attach(int vornCellId, int clientId, int applicationId, CTqNetwork* session) {
    TQPlatformInfo platformInfo;
    if (clientId == 0 && applicationId == 0) {
        CIHelperLog("Both application ID and client ID are zeros.");
        return false;
    }
    platformInfo.setFocus(TQPI_Focus::getFocus());

    // An application id takes precedence; the client id then only names the
    // client in messages. Either way the record is ours to release.
    std::unique_ptr<TQClient> client;
    if (applicationId != 0) {
        ApplicationId application(tq::widenId(vornCellId), tq::widenId(applicationId));
        client.reset(application.getClient(nullptr));
    } else {
        client = std::make_unique<TQClient>(tq::widenId(vornCellId), tq::widenId(clientId));
    }
    if (!client) {
        CIHelperLog("Failed to get client object from application id [%d] client id [%d]",
                    applicationId, clientId);
        return false;
    }
    std::string mangledHostName;
    if (client->getMangledHostName(mangledHostName, nullptr) != 0) {
        CIHelperLog("Failed to get mangled host name from client id[%d] application id [%d]",
                    clientId, applicationId);
        return false;
    }
    client.reset();

    if (session == nullptr) {
        session = &defaultSession;
    }
    tqsExecuteRemoteDllType service;
    std::memset(&service, 0, sizeof service);
    std::strncpy(service.remoteLibraryName, tqmsg::kRemoteIndexLibrary, kServiceNameSize);
    std::strncpy(service.remoteEntryName, tqmsg::kRemoteIndexEntry, kServiceNameSize);

    char localName[kLocalNameSize] = {};
    if (platformInfo.getTQPlatformType() & kPlatformTypeVornServer) {
        platformInfo.getVornServerClientName(localName, static_cast<int>(kLocalNameSize));
    } else if (const char* machine = platformInfo.getPhysicalMachine()) {
        std::strncpy(localName, machine, kLocalNameSize - 1);
    }
    localName[kLocalNameSize - 1] = '\0';

    bool timedOut = false;
    CYxError error = session->Attach_RemoteDLL(mangledHostName.c_str(), &service, localName,
                                               kAttachWait, timedOut);
    if (error.IsError()) {
        CIHelperLog("Failed to attach the remote CI server [%s]. Error:[%s]",
                    mangledHostName.c_str(), error.AsString().c_str());
        return false;
    }
    return true;
}

bool CIHelperBase::getVornCellNumber(int vornCellId, int& vornCellNumber) {
    TQVornCell cell(tq::widenId(vornCellId));
    unsigned long number = 0;
    (void)cell.getVornCellNumber(number, nullptr);
    // A number whose low 32 bits are 0 would go out as "no number": refuse it too.
    const int narrowed = tq::narrowId(number);
    if (narrowed == 0) {
        return false;
    }
    vornCellNumber = narrowed;
    return true;
}

bool CIHelperBase::getCISvrClientId(int cloudId, int& ciServerClientId) {
    ContentIndexEngine engine(tq::widenId(cloudId));
    std::list<unsigned long> clients;
    std::list<unsigned long> properties;
    std::string text;
    ciServerClientId = -1;
    if (engine.getCloudClientList(clients, properties, text, nullptr) != 0) {
        CIHelperLog("Failed to get clould client properties. cloud[%d]", cloudId);
        return false;
    }
    CIHelperLog("List of client that form the cloud [%d]", static_cast<int>(clients.size()));
    auto client = clients.begin();
    auto property = properties.begin();
    for (; client != clients.end() && property != properties.end(); ++client, ++property) {
        if (*property & kCiCdsClientProperty) {
            ciServerClientId = tq::narrowId(*client);
            CIHelperLog("CI CDS client id is [%d]", ciServerClientId);
            return true;
        }
    }
    return false;
}

bool CIHelperBase::send(int, const tqsDatabuf*) {
    return false;
}

// ---------------------------------------------------------------------------
// CIEraseWrapper
// ---------------------------------------------------------------------------

CIEraseWrapper::CIEraseWrapper()
    : vornCellNumber(0), currentClientId(0), lastErasedAppId(0), vornCellIdOfNumber(0) {}

CIEraseWrapper::~CIEraseWrapper() {
    // Cached sessions are released without a disconnect of their own.
    for (auto& entry : clientSessions) {
        delete entry.second;
        entry.second = nullptr;
    }
    clientSessions.clear();
}

bool CIEraseWrapper::initialize() {
    return true;
}

bool CIEraseWrapper::getCloudIds(int clientId, int appType, int applicationId,
                                 std::vector<int>& cloudIds, bool useCS) {
    std::vector<int> received;
    int status;
    if (useCS) {
        ArchiveManagerCS manager(nullptr);
        GetContentIndexEngineListArgs_t args;
        GetContentIndexEngineListRet_t ret;
        args.clientId = clientId;
        args.appType = appType;
        status = manager.getContentIndexEngineList(&args, &ret);
        if (status >= 0) {
            received = std::move(ret.engineIds);
        }
    } else {
        ArchiveManagerDS manager;
        GetContentIndexEngineListArgsDS_t args;
        GetContentIndexEngineListRetDS_t ret;
        args.applicationId = applicationId;
        status = manager.getContentIndexEngineList(&args, &ret);
        if (status >= 0) {
            received = std::move(ret.engineIds);
        }
    }
    if (status < 0) {
        CIHelperLog("Failed to get the content indexing engine list for client Id [%d] app type[%d].",
                    clientId, appType);
        return false;
    }
    if (received.empty()) {
        CIHelperLog("Found 0 cloud IDs in eraseCIData!!!");
    }
    cloudIds.insert(cloudIds.end(), received.begin(), received.end());
    return true;
}

CTqNetwork* CIEraseWrapper::getClientSession(int vornCellId, int ciServerClientId) {
    auto cached = clientSessions.find(ciServerClientId);
    if (cached != clientSessions.end()) {
        return cached->second;
    }
    std::unique_ptr<CTqNetwork> session(new (std::nothrow) CTqNetwork);
    if (!session) {
        CIHelperLog("Failed to allocate memory for session!!!");
        return nullptr;
    }
    if (!attach(vornCellId, ciServerClientId, 0, session.get())) {
        CIHelperLog("Failed to attach to the CI server [%d]!!!", ciServerClientId);
        return nullptr;
    }
    clientSessions.emplace(ciServerClientId, session.get());
    return session.release();
}

// The erases that carry the wrapper's cell number need the number of the cell
// they name: look it up while the wrapper holds none (first use, an earlier
// failed lookup, a wrapper first used for a RuRizoze erase, which brings its
// own number) or holds another cell's. A failed lookup keeps the old cell's
// number and server list; a new cell's number makes the list, resolved in the
// old cell, unusable.
static bool haveVornCellNumber(CIHelperBase& helper, int vornCellId, int& vornCellNumber,
                               int& vornCellIdOfNumber, bool& serverListResolved) {
    if (vornCellNumber != 0 && vornCellIdOfNumber == vornCellId) {
        return true;
    }
    if (!helper.getVornCellNumber(vornCellId, vornCellNumber)) {
        helper.CIHelperLog("Failed to get the vornCell number from vornCell Id [%d]", vornCellId);
        return false;
    }
    if (vornCellIdOfNumber != vornCellId) {
        serverListResolved = false;
        vornCellIdOfNumber = vornCellId;
    }
    return true;
}

int CIEraseWrapper::eraseBackupData(int vornCellId, int clientId, int appType, const char* path,
                                    bool /*flag*/) {
    if (!initialized && !init()) {
        return 1;
    }
    if (path == nullptr) {
        CIHelperLog("Refusing to erase CI data of client [%d] app type [%d]: the path is null.",
                    clientId, appType);
        return 1;
    }
    if (!haveVornCellNumber(*this, vornCellId, vornCellNumber, vornCellIdOfNumber,
                            serverListResolved)) {
        return 1;
    }

    // The servers resolved for another client, application type or cell (or
    // grown by a RuRizoze erase) need not index this data: resolve again.
    if (!serverListResolved || currentClientId != clientId || serverListAppType != appType) {
        // The previous servers must not survive a failed resolution.
        serverListResolved = false;
        currentClientId = 0;
        cloudIds.clear();
        ciServerClientIds.clear();
        if (!getCloudIds(clientId, appType, 0, cloudIds, true)) {
            CIHelperLog("Failed to get the cloud id list");
            return 1;
        }
        for (int cloudId : cloudIds) {
            int ciServerClientId = -1;
            if (getCISvrClientId(cloudId, ciServerClientId)) {
                ciServerClientIds.push_back(ciServerClientId);
            } else {
                CIHelperLog("Failed to get client id from the cloud id [%d]", cloudId);
            }
        }
        currentClientId = clientId;
        serverListAppType = appType;
        serverListResolved = true;
    }

    for (const int ciServerClientId : ciServerClientIds) {
        CTqNetwork* session = getClientSession(vornCellId, ciServerClientId);
        if (session == nullptr) {
            CIHelperLog("Failed to get the client session the CI server admin node");
            return 1;
        }
        tqsDatabuf_v2 buffer;
        EraseRequest request;
        if (!buildEraseRequest(*this, buffer, request, vornCellNumber, clientId, appType, path,
                               tqmsg::kEraseKindData)) {
            return 1;
        }
        CIHelperLog(
            "Sending TQS_PM_CONTENTIDX_ERASE_DATA_REQ for vornCellNum [%d] client ID[%d]. "
            "Path [%s] FAST client id [%d]",
            request.record.vornCellNumber, request.record.clientId, path, ciServerClientId);
        if (!runStandardEraseExchange(*this, clientSessions, *session, buffer, request,
                                      ciServerClientId)) {
            return 1;
        }
    }
    CIHelperLog("Returning succees after erasing data");
    return 0;
}

int CIEraseWrapper::eraseMigratedData(int vornCellId, int applicationId, const char* path,
                                      bool /*flag*/) {
    if (!initialized && !init()) {
        return 1;
    }
    if (path == nullptr) {
        CIHelperLog("Refusing to erase CI data of application ID[%d]: the path is null.",
                    applicationId);
        return 1;
    }
    if (!haveVornCellNumber(*this, vornCellId, vornCellNumber, vornCellIdOfNumber,
                            serverListResolved)) {
        return 1;
    }

    int result = 1;
    std::vector<int> clouds;
    if (!getCloudIds(0, 0, applicationId, clouds, false)) {
        return 1;
    }
    // Sessions whose exchange failed are dropped once the call is over, so
    // that a later cloud of the same server in this call is not tried again.
    std::vector<int> failedServers;
    for (int cloudId : clouds) {
        int ciServerClientId = -1;
        if (!getCISvrClientId(cloudId, ciServerClientId)) {
            CIHelperLog("Failed to get the client id for CI Server ID[%d]!!!", cloudId);
            continue;
        }
        CTqNetwork* session = getClientSession(vornCellId, ciServerClientId);
        if (session == nullptr) {
            continue;
        }
        tqsDatabuf_v2 buffer;
        EraseRequest request;
        if (!buildEraseRequest(*this, buffer, request, vornCellNumber, 0, applicationId, path,
                               tqmsg::kEraseKindData)) {
            continue;
        }
        CIHelperLog("Sending TQS_PM_CONTENTIDX_ERASE_DATA_REQ for cloud [%d] vornCellNum [%d] client ID[%d].",
                    cloudId, request.record.vornCellNumber, request.record.clientId);
        bool sendTimedOut = false;
        CYxError error = session->SendXDRMessage(kEraseDataReq, &buffer, kSendFlags, kSendWait,
                                                 sendTimedOut);
        if (error.IsError()) {
            CIHelperLog(
                "Failed to send TQS_PM_CONTENTIDX_ERASE_DATA_REQ for cloud [%d] vornCellNum [%d] "
                "client ID[%d]. Error:[%s]",
                cloudId, request.record.vornCellNumber, request.record.clientId,
                error.AsString().c_str());
            failedServers.push_back(ciServerClientId);
            continue;
        }

        // The response is received on the buffer that still refers to the
        // request record and read where the buffer points afterwards.
        unsigned long code = 0;
        bool timedOut = false;
        error = session->ReceiveXDRMessage(&code, &buffer, nullptr, kReceiveFlags, kReceiveWait,
                                           timedOut);
        if (error.IsError() || timedOut) {
            failedServers.push_back(ciServerClientId);
        }
        if (error.IsError() && !timedOut) {
            CIHelperLog("Failed to receive TQS_PM_CONTENTIDX_ERASE_DATA_RESP. Error:[%s]",
                        error.AsString().c_str());
        } else if (timedOut) {
            CIHelperLog("Failed(TimedOut) to receive data for TQS_PM_CONTENTIDX_ERASE_DATA_RESP!!!");
        } else if (code == kEraseDataResp && statusInReceivedBody(buffer) != 0) {
            lastErasedAppId = applicationId;
            result = 0;
            CIHelperLog("Received erase data response for application ID[%d] for CI server[%d]!!",
                        applicationId, ciServerClientId);
        } else {
            CIHelperLog("Failed to erase data for application ID[%d] for CI server[%d]!!",
                        applicationId, ciServerClientId);
        }
    }
    for (const int ciServerClientId : failedServers) {
        discardFailedSession(clientSessions, ciServerClientId);
    }
    if (clouds.empty()) {
        result = 0;
    }
    return result;
}

int CIEraseWrapper::eraseRuRizozeCIData(int vornCellId, int cellNumber, int clientId, int appType,
                                        int cloudId, const char* path) {
    if (!initialized && !init()) {
        return 1;
    }
    if (path == nullptr) {
        CIHelperLog("Refusing to erase RuRizoze CI data of client [%d] app type [%d]: the path is null.",
                    clientId, appType);
        return 1;
    }
    if (clientId != currentClientId) {
        int ciServerClientId = -1;
        if (!getCISvrClientId(cloudId, ciServerClientId)) {
            return 1;
        }
        ciServerClientIds.push_back(ciServerClientId);
        currentClientId = clientId;
        // No longer the servers of one client's data of one type: a backup
        // erase resolves again.
        serverListResolved = false;
    }
    for (const int ciServerClientId : ciServerClientIds) {
        CTqNetwork* session = getClientSession(vornCellId, ciServerClientId);
        if (session == nullptr) {
            return 1;
        }
        tqsDatabuf_v2 buffer;
        EraseRequest request;
        if (!buildEraseRequest(*this, buffer, request, cellNumber, clientId, appType, path,
                               tqmsg::kEraseKindRuRizoze)) {
            return 1;
        }
        if (!runStandardEraseExchange(*this, clientSessions, *session, buffer, request,
                                      ciServerClientId)) {
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Archive-file pruning
// ---------------------------------------------------------------------------

bool comparePruneElem(const _PruneElem& a, const _PruneElem& b) {
    return a.cloudId < b.cloudId;
}

CIAFPruner::CIAFPruner() = default;

CIAFPruner::~CIAFPruner() = default;

bool CIAFPruner::initialize() {
    return true;
}

int CIAFPruner::PruneCIDocs(std::vector<_PruneElem>& elements) {
    // An uninitialised pruner still prunes; it only writes no lines.
    if (!initialized && init()) {
        initialized = true;
    }
    int result = 1;
    std::unique_ptr<CTqNetwork> session;
    int currentCloud = 0;
    int sessionServer = 0;  // the CI server client id the session was made for
    bool disconnectFlag = false;
    std::sort(elements.begin(), elements.end(), comparePruneElem);
    std::map<int, int> serverOfCloud;  // successful lookups of this call only
    AfPruneReq record;

    for (const _PruneElem& element : elements) {
        tqsDatabuf_v2 buffer;
        buffer.setExternalBuffer(reinterpret_cast<char*>(&record), sizeof record);
        std::memset(&record, 0, sizeof record);

        int ciServerClientId = -1;
        auto known = serverOfCloud.find(element.cloudId);
        if (known != serverOfCloud.end()) {
            ciServerClientId = known->second;
        } else if (getCISvrClientId(element.cloudId, ciServerClientId)) {
            known = serverOfCloud.emplace(element.cloudId, ciServerClientId).first;
        }
        if (known == serverOfCloud.end()) {
            CIHelperLog("Failed to get the client id for dps server!!!");
            continue;
        }

        bool sendable = false;
        {
            TQClient serverClient(tq::widenId(ciServerClientId));
            unsigned long serverCellId = 0;
            if (serverClient.getVornCellId(serverCellId, nullptr) != 0) {
                CIHelperLog("Failed to get vornecell Id for client Id [%d]", ciServerClientId);
                continue;
            }
            if (currentCloud == 0 || element.cloudId != currentCloud) {
                const bool firstSession = currentCloud == 0;
                currentCloud = element.cloudId;
                closePruneSession(*this, session, disconnectFlag, sessionServer);
                session = std::make_unique<CTqNetwork>();
                sessionServer = ciServerClientId;
                if (attach(tq::narrowId(serverCellId), ciServerClientId, 0, session.get())) {
                    if (firstSession) {
                        CIHelperLog("Succeed to connect to dps client.");
                    } else {
                        CIHelperLog("Succeed to connect to dps client [%d].", ciServerClientId);
                    }
                    result = 0;
                    sendable = true;
                } else if (firstSession) {
                    CIHelperLog(
                        "Failed to attach to document processing server for pruning. ClientId [%d]",
                        ciServerClientId);
                } else {
                    CIHelperLog("Failed to attach to document processing server for pruning.");
                }
            } else {
                // Same cloud: its session serves the element, attached or not.
                sendable = session != nullptr;
            }
        }
        if (!sendable) {
            continue;
        }

        record.cloudId = element.cloudId;
        record.vornCellNumber = element.vornCellNumber;
        record.archiveFileId = element.archiveFileId;
        record.auxValue1 = element.auxValue1;
        record.auxValue2 = element.auxValue2;
        record.reserved = 0;
        bool timedOut = false;
        CYxError error = session->SendXDRMessage(kAfPruneReq, &buffer, kSendFlags, kSendWait,
                                                 timedOut);
        if (error.IsError()) {
            CIHelperLog(
                "Failed to send TQS_PM_CONTENTIDX_AF_PRUNE_REQ for cloud [%d] vornCellNum [%d] "
                "archive file [%d]. Error:[%s]",
                element.cloudId, element.vornCellNumber, element.archiveFileId,
                error.AsString().c_str());
        } else {
            result = 0;
        }
    }
    closePruneSession(*this, session, disconnectFlag, sessionServer);
    return result;
}
