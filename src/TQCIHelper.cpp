// TQCIHelper: keeps the content index in step with deletions.
//
// The file reads in the order an erase runs: the plain entry points; the helper
// base (log, initialisation, attachment, directory lookups); the erase
// wrapper's steps (the opening every erase shares, cloud and server
// resolution, the session cache, the request, the two exchanges) and the three
// erase operations made of them; then archive-file pruning. The library
// reaches the network, the directory and the log only through the product
// classes declared in platform/.

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

// What the session is handed: waits in seconds, and flags.
constexpr int kAttachWait = 120;
constexpr int kDisconnectWait = 120;
// A session whose exchange failed is closed without waiting for the server:
// nothing more is owed to it, and a hung server must not hold the call up.
constexpr int kFailedSessionDisconnectWait = 0;
constexpr int kReceiveWait = 600;
constexpr int kSendWait = -1;  // the session's default send wait
constexpr int kSendFlags = 0;
constexpr int kReceiveFlags = 0;

// What the helper's debug log is opened with.
constexpr unsigned int kLogModuleId = 0x27C30418;
constexpr long long kLogLevel = -123456;

// The property bit that marks a cloud's CI server among its clients.
constexpr unsigned long kCiCdsClientProperty = 1ul;

// Guards the shared line buffer: helpers on different threads must not
// overwrite each other's lines while formatting. Uncontended it costs a few
// nanoseconds; a buffer per call would put 64 KiB on hosts' thread stacks.
std::mutex sLogLock;

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
// CIHelperBase: log, initialisation, attachment, directory lookups
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

namespace {

constexpr unsigned int kPlatformTypeVornServer = 1u;
constexpr size_t kLocalNameSize = 256;
constexpr size_t kServiceNameSize = 256;

// The mangled host name of the client named by `applicationId` (when not 0)
// or `clientId`; false after a line that says which lookup failed.
bool mangledHostNameOf(CIHelperBase& helper, int vornCellId, int clientId, int applicationId,
                       std::string& hostName) {
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
        helper.CIHelperLog("Failed to get client object from application id [%d] client id [%d]",
                           applicationId, clientId);
        return false;
    }
    if (client->getMangledHostName(hostName, nullptr) != 0) {
        helper.CIHelperLog("Failed to get mangled host name from client id[%d] application id [%d]",
                           clientId, applicationId);
        return false;
    }
    return true;
}

// The remote indexing service of a CI server, as the session names it.
tqsExecuteRemoteDllType indexService() {
    tqsExecuteRemoteDllType service;
    std::memset(&service, 0, sizeof service);
    std::strncpy(service.remoteLibraryName, tqmsg::kRemoteIndexLibrary, kServiceNameSize);
    std::strncpy(service.remoteEntryName, tqmsg::kRemoteIndexEntry, kServiceNameSize);
    return service;
}

// The name this machine gives the server: its client name on a vornServer,
// otherwise its physical machine name, cut to fit.
void localNameOf(TQPlatformInfo& platformInfo, char (&localName)[kLocalNameSize]) {
    if (platformInfo.getTQPlatformType() & kPlatformTypeVornServer) {
        platformInfo.getVornServerClientName(localName, static_cast<int>(kLocalNameSize));
    } else if (const char* machine = platformInfo.getPhysicalMachine()) {
        std::strncpy(localName, machine, kLocalNameSize - 1);
    }
    localName[kLocalNameSize - 1] = '\0';
}

}  // namespace

bool CIHelperBase::attach(int vornCellId, int clientId, int applicationId, CTqNetwork* session) {
    TQPlatformInfo platformInfo;
    if (clientId == 0 && applicationId == 0) {
        CIHelperLog("Both application ID and client ID are zeros.");
        return false;
    }
    platformInfo.setFocus(TQPI_Focus::getFocus());
    std::string mangledHostName;
    if (!mangledHostNameOf(*this, vornCellId, clientId, applicationId, mangledHostName)) {
        return false;
    }

    if (session == nullptr) {
        session = &defaultSession;
    }
    tqsExecuteRemoteDllType service = indexService();
    char localName[kLocalNameSize] = {};
    localNameOf(platformInfo, localName);
    bool timedOut = false;
    CYxError error = session->Attach_RemoteDLL(mangledHostName.c_str(), &service, localName,
                                               kAttachWait, timedOut);
    if (error.IsError()) {
        CIHelperLog("Failed to attach the remote CI server [%s]. Error:[%s]",
                    mangledHostName.c_str(), error.AsString().c_str());
        return false;
    }
    if (error.Code() == tqerr::kNotice) {
        CIHelperLog("Attached the remote CI server [%s]. Notice:[%s]", mangledHostName.c_str(),
                    error.AsString().c_str());
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
// CIEraseWrapper: the steps of an erase (the opening every erase shares, cloud
// and server resolution, the session cache, the request, the two exchanges)
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

namespace {

// Room for a refusal line: a fixed text and two ids.
constexpr size_t kRefusalLineSize = 256;

// The opening every erase shares: the helper initialises on its first call (a
// helper that cannot writes no line and fails every call), then a null path is
// refused with the line `refusal` formats. False when the call ends here.
__attribute__((format(printf, 3, 4))) bool openErase(CIHelperBase& helper, const char* path,
                                                      const char* refusal, ...) {
    if (!helper.init()) {
        return false;
    }
    if (path != nullptr) {
        return true;
    }
    char line[kRefusalLineSize];
    va_list ids;
    va_start(ids, refusal);
    (void)std::vsnprintf(line, sizeof line, refusal, ids);
    va_end(ids);
    helper.CIHelperLog("%s", line);
    return false;
}

// The erases that carry the wrapper's cell number need the number of the cell
// they name: look it up while the wrapper holds none (first use, an earlier
// failed lookup, a wrapper first used for a RuRizoze erase, which brings its
// own number) or holds another cell's. A failed lookup keeps the old cell's
// number and server list; a new cell's number makes the list, resolved in the
// old cell, unusable.
bool haveVornCellNumber(CIHelperBase& helper, int vornCellId, int& vornCellNumber,
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

}  // namespace

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

namespace {

// The CI servers of `clouds`, in cloud order; a cloud without one is skipped
// after a line that names it.
std::vector<int> serversOfClouds(CIHelperBase& helper, const std::vector<int>& clouds) {
    std::vector<int> servers;
    for (const int cloudId : clouds) {
        int ciServerClientId = -1;
        if (helper.getCISvrClientId(cloudId, ciServerClientId)) {
            servers.push_back(ciServerClientId);
        } else {
            helper.CIHelperLog("Failed to get client id from the cloud id [%d]", cloudId);
        }
    }
    return servers;
}

}  // namespace

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

namespace {

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

// What an erase request says.
struct RequestFields {
    int cellNumber;
    int clientId;   // 0 for migrated data
    int appType;    // the application id for migrated data
    int32_t eraseKind;
    const char* path;
};

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
                       const RequestFields& fields) {
    std::memset(&request.record, 0, sizeof request.record);
    request.record.eraseKind = fields.eraseKind;
    request.pathLength = std::strlen(fields.path);
    request.pathCopy.reset(new (std::nothrow) char[request.pathLength + 1]);
    if (!request.pathCopy) {
        helper.CIHelperLog("Failed to allocate memory for the path!!!");
        return false;
    }
    std::memcpy(request.pathCopy.get(), fields.path, request.pathLength + 1);
    request.record.path = request.pathCopy.get();
    request.record.vornCellNumber = fields.cellNumber;
    request.record.clientId = fields.clientId;
    request.record.appType = fields.appType;
    buffer.setExternalBuffer(reinterpret_cast<char*>(&request.record),
                             sizeof(EraseDataReq) + request.pathLength + 1);
    return true;
}

// What a CI server made of an erase request.
enum class Verdict {
    kConfirmed,     // it reported the entries erased
    kNotConfirmed,  // it did not (or the request never went out)
    kSessionFailed  // the send or the receive failed: the session is spent
};

// Hand a built erase request to the session.
CYxError sendEraseRequest(CTqNetwork& session, tqsDatabuf_v2& buffer) {
    bool timedOut = false;
    return session.SendXDRMessage(kEraseDataReq, &buffer, kSendFlags, kSendWait, timedOut);
}

// The standard exchange: send a built request over the server's session, then
// receive the answer into a response record of its own. Every outcome but a
// confirmation is explained by one line.
Verdict runStandardEraseExchange(CIHelperBase& helper, CTqNetwork& session, tqsDatabuf_v2& buffer,
                                 const EraseRequest& request, int ciServerClientId) {
    CYxError error = sendEraseRequest(session, buffer);
    if (error.IsError()) {
        helper.CIHelperLog(
            "Failed to send TQS_PM_CONTENTIDX_ERASE_DATA_REQ for CIServer [%d] vornCellNum [%d] "
            "client ID[%d]. Error:[%s]",
            ciServerClientId, request.record.vornCellNumber, request.record.clientId,
            error.AsString().c_str());
        return Verdict::kSessionFailed;
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
        return Verdict::kSessionFailed;
    }

    Verdict verdict = Verdict::kConfirmed;
    if (code != kEraseDataResp) {
        helper.CIHelperLog("Incorrect message %lu received", code);
        verdict = Verdict::kNotConfirmed;
    } else if (response.status == 0) {
        helper.CIHelperLog(
            "Received [%d] as the status code from client [%d], Apptype [%d], CIServer [%d]",
            response.status, request.record.clientId, request.record.appType, ciServerClientId);
        verdict = Verdict::kNotConfirmed;
    }
    (void)session.FreeReceivedMessage(kEraseDataResp, &buffer);
    return verdict;
}

// Offset of the status in an erase response read straight from a buffer.
constexpr size_t kRespStatusOffset = offsetof(EraseDataResp, status);

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

// The migrated-data exchange: send a built request, then receive the answer on
// the same buffer, which still refers to the request record, and read it where
// the buffer points afterwards (the record may be overwritten: nothing of it
// is read after the receive). A time-out is reported as such, error or not.
Verdict runMigratedEraseExchange(CIHelperBase& helper, CTqNetwork& session, tqsDatabuf_v2& buffer,
                                 const EraseRequest& request, int cloudId, int ciServerClientId,
                                 int applicationId) {
    CYxError error = sendEraseRequest(session, buffer);
    if (error.IsError()) {
        helper.CIHelperLog(
            "Failed to send TQS_PM_CONTENTIDX_ERASE_DATA_REQ for cloud [%d] vornCellNum [%d] "
            "client ID[%d]. Error:[%s]",
            cloudId, request.record.vornCellNumber, request.record.clientId,
            error.AsString().c_str());
        return Verdict::kSessionFailed;
    }

    unsigned long code = 0;
    bool timedOut = false;
    error = session.ReceiveXDRMessage(&code, &buffer, nullptr, kReceiveFlags, kReceiveWait,
                                      timedOut);
    if (timedOut) {
        helper.CIHelperLog("Failed(TimedOut) to receive data for TQS_PM_CONTENTIDX_ERASE_DATA_RESP!!!");
        return Verdict::kSessionFailed;
    }
    if (error.IsError()) {
        helper.CIHelperLog("Failed to receive TQS_PM_CONTENTIDX_ERASE_DATA_RESP. Error:[%s]",
                           error.AsString().c_str());
        return Verdict::kSessionFailed;
    }
    if (code == kEraseDataResp && statusInReceivedBody(buffer) != 0) {
        helper.CIHelperLog("Received erase data response for application ID[%d] for CI server[%d]!!",
                           applicationId, ciServerClientId);
        return Verdict::kConfirmed;
    }
    helper.CIHelperLog("Failed to erase data for application ID[%d] for CI server[%d]!!",
                       applicationId, ciServerClientId);
    return Verdict::kNotConfirmed;
}

// Whether a standard erase writes lines of its own about each server: the
// backup erase names each request and a server it has no session for; the
// RuRizoze erase leaves its lines to the steps it calls.
enum class ServerLines { kNamed, kQuiet };

// One standard erase on one CI server over its cached session.
Verdict eraseStandardOnServer(CIEraseWrapper& wrapper, int vornCellId, int ciServerClientId,
                      const RequestFields& fields, ServerLines lines) {
    CTqNetwork* session = wrapper.getClientSession(vornCellId, ciServerClientId);
    if (session == nullptr) {
        if (lines == ServerLines::kNamed) {
            wrapper.CIHelperLog("Failed to get the client session the CI server admin node");
        }
        return Verdict::kNotConfirmed;
    }
    tqsDatabuf_v2 buffer;
    EraseRequest request;
    if (!buildEraseRequest(wrapper, buffer, request, fields)) {
        return Verdict::kNotConfirmed;
    }
    if (lines == ServerLines::kNamed) {
        wrapper.CIHelperLog(
            "Sending TQS_PM_CONTENTIDX_ERASE_DATA_REQ for vornCellNum [%d] client ID[%d]. "
            "Path [%s] FAST client id [%d]",
            request.record.vornCellNumber, request.record.clientId, fields.path, ciServerClientId);
    }
    return runStandardEraseExchange(wrapper, *session, buffer, request, ciServerClientId);
}

// A standard erase on each listed CI server in turn; false at the first that
// does not confirm. A session whose exchange failed leaves the cache.
bool eraseOnEachServer(CIEraseWrapper& wrapper, std::map<int, CTqNetwork*>& sessions,
                       const std::vector<int>& servers, int vornCellId,
                       const RequestFields& fields, ServerLines lines) {
    for (const int ciServerClientId : servers) {
        const Verdict verdict =
            eraseStandardOnServer(wrapper, vornCellId, ciServerClientId, fields, lines);
        if (verdict == Verdict::kSessionFailed) {
            discardFailedSession(sessions, ciServerClientId);
        }
        if (verdict != Verdict::kConfirmed) {
            return false;
        }
    }
    return true;
}

// One migrated-data erase on the CI server of one cloud, over its cached
// session; a server without a session or request is passed over.
Verdict eraseMigratedOnServer(CIEraseWrapper& wrapper, int vornCellId, int cloudId,
                              int ciServerClientId, const RequestFields& fields) {
    CTqNetwork* session = wrapper.getClientSession(vornCellId, ciServerClientId);
    if (session == nullptr) {
        return Verdict::kNotConfirmed;
    }
    tqsDatabuf_v2 buffer;
    EraseRequest request;
    if (!buildEraseRequest(wrapper, buffer, request, fields)) {
        return Verdict::kNotConfirmed;
    }
    wrapper.CIHelperLog(
        "Sending TQS_PM_CONTENTIDX_ERASE_DATA_REQ for cloud [%d] vornCellNum [%d] client ID[%d].",
        cloudId, request.record.vornCellNumber, request.record.clientId);
    return runMigratedEraseExchange(wrapper, *session, buffer, request, cloudId, ciServerClientId,
                                    fields.appType);
}

}  // namespace

// ---------------------------------------------------------------------------
// CIEraseWrapper: the three erase operations
// ---------------------------------------------------------------------------

int CIEraseWrapper::eraseBackupData(int vornCellId, int clientId, int appType, const char* path,
                                    bool /*flag*/) {
    if (!openErase(*this, path,
                   "Refusing to erase CI data of client [%d] app type [%d]: the path is null.",
                   clientId, appType) ||
        !haveVornCellNumber(*this, vornCellId, vornCellNumber, vornCellIdOfNumber,
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
        ciServerClientIds = serversOfClouds(*this, cloudIds);
        currentClientId = clientId;
        serverListAppType = appType;
        serverListResolved = true;
    }

    const RequestFields fields{vornCellNumber, clientId, appType, tqmsg::kEraseKindData, path};
    if (!eraseOnEachServer(*this, clientSessions, ciServerClientIds, vornCellId, fields,
                           ServerLines::kNamed)) {
        return 1;
    }
    CIHelperLog("Returning succees after erasing data");
    return 0;
}

int CIEraseWrapper::eraseMigratedData(int vornCellId, int applicationId, const char* path,
                                      bool /*flag*/) {
    if (!openErase(*this, path, "Refusing to erase CI data of application ID[%d]: the path is null.",
                   applicationId) ||
        !haveVornCellNumber(*this, vornCellId, vornCellNumber, vornCellIdOfNumber,
                            serverListResolved)) {
        return 1;
    }
    std::vector<int> clouds;
    if (!getCloudIds(0, 0, applicationId, clouds, false)) {
        return 1;
    }

    // Every cloud is tried; one confirmation is enough. Sessions whose
    // exchange failed are dropped once the call is over, so that a later
    // cloud of the same server in this call is not tried again.
    const RequestFields fields{vornCellNumber, 0, applicationId, tqmsg::kEraseKindData, path};
    bool confirmed = false;
    std::vector<int> failedServers;
    for (const int cloudId : clouds) {
        int ciServerClientId = -1;
        if (!getCISvrClientId(cloudId, ciServerClientId)) {
            CIHelperLog("Failed to get the client id for CI Server ID[%d]!!!", cloudId);
            continue;
        }
        const Verdict verdict =
            eraseMigratedOnServer(*this, vornCellId, cloudId, ciServerClientId, fields);
        if (verdict == Verdict::kConfirmed) {
            confirmed = true;
            lastErasedAppId = applicationId;
        } else if (verdict == Verdict::kSessionFailed) {
            failedServers.push_back(ciServerClientId);
        }
    }
    for (const int ciServerClientId : failedServers) {
        discardFailedSession(clientSessions, ciServerClientId);
    }
    return confirmed || clouds.empty() ? 0 : 1;
}

int CIEraseWrapper::eraseRuRizozeCIData(int vornCellId, int cellNumber, int clientId, int appType,
                                        int cloudId, const char* path) {
    if (!openErase(*this, path,
                   "Refusing to erase RuRizoze CI data of client [%d] app type [%d]: the path is null.",
                   clientId, appType)) {
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
    const RequestFields fields{cellNumber, clientId, appType, tqmsg::kEraseKindRuRizoze, path};
    const bool confirmed = eraseOnEachServer(*this, clientSessions, ciServerClientIds, vornCellId,
                                             fields, ServerLines::kQuiet);
    return confirmed ? 0 : 1;
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

namespace {

// What one prune call carries from element to element: one session for each
// run of elements of a cloud.
struct PruneCall {
    std::unique_ptr<CTqNetwork> session;
    int cloud = 0;   // the cloud whose run the session serves; 0 before the first
    int server = 0;  // the CI server client id the session was made for
    bool disconnectFlag = false;
    bool reached = false;              // an attach or a send succeeded: the call's result
    std::map<int, int> serverOfCloud;  // successful lookups of this call only
};

// The CI server of a cloud, looked up once per call; false after a line when
// the cloud has none (asked again for the next element of that cloud).
bool pruneServerOf(CIHelperBase& helper, PruneCall& call, int cloudId, int& ciServerClientId) {
    const auto known = call.serverOfCloud.find(cloudId);
    if (known != call.serverOfCloud.end()) {
        ciServerClientId = known->second;
        return true;
    }
    if (!helper.getCISvrClientId(cloudId, ciServerClientId)) {
        helper.CIHelperLog("Failed to get the client id for dps server!!!");
        return false;
    }
    call.serverOfCloud.emplace(cloudId, ciServerClientId);
    return true;
}

// The cell of a CI server's client, which an attach to it names; false after
// a line when the directory has none.
bool cellOfServer(CIHelperBase& helper, int ciServerClientId, unsigned long& serverCellId) {
    TQClient serverClient(tq::widenId(ciServerClientId));
    if (serverClient.getVornCellId(serverCellId, nullptr) != 0) {
        helper.CIHelperLog("Failed to get vornecell Id for client Id [%d]", ciServerClientId);
        return false;
    }
    return true;
}

// Disconnect and destroy the prune session, if one is held. Prunes have no
// answer: a server that did not close in turn (it reset the session because
// it could not carry them out, or never closed) is the only sign that they
// were lost, so that is logged.
void closePruneSession(CIHelperBase& helper, PruneCall& call) {
    if (!call.session) {
        return;
    }
    const CYxError error = call.session->Disconnect(kDisconnectWait, call.disconnectFlag);
    if (error.IsError()) {
        helper.CIHelperLog(
            "Failed to disconnect from document processing server [%d]; its prune requests may "
            "not have been carried out. Error:[%s]",
            call.server, error.AsString().c_str());
    }
    call.session.reset();
}

// Make the call's session serve an element of `cloudId`. The current cloud's
// run keeps its session, attached or not; another cloud (and cloud 0, every
// time) closes it and attaches a fresh one to the cloud's server. True when
// the element is to be sent.
bool switchPruneSession(CIHelperBase& helper, PruneCall& call, int cloudId, int ciServerClientId,
                        unsigned long serverCellId) {
    if (call.cloud != 0 && cloudId == call.cloud) {
        return true;
    }
    const bool firstSession = call.cloud == 0;
    call.cloud = cloudId;
    closePruneSession(helper, call);
    call.session = std::make_unique<CTqNetwork>();
    call.server = ciServerClientId;
    if (!helper.attach(tq::narrowId(serverCellId), ciServerClientId, 0, call.session.get())) {
        if (firstSession) {
            helper.CIHelperLog(
                "Failed to attach to document processing server for pruning. ClientId [%d]",
                ciServerClientId);
        } else {
            helper.CIHelperLog("Failed to attach to document processing server for pruning.");
        }
        return false;
    }
    if (firstSession) {
        helper.CIHelperLog("Succeed to connect to dps client.");
    } else {
        helper.CIHelperLog("Succeed to connect to dps client [%d].", ciServerClientId);
    }
    call.reached = true;
    return true;
}

// Prune the documents of one element's archive file: find its cloud's server
// and that server's cell, keep or switch the session, send the request.
void pruneElement(CIHelperBase& helper, PruneCall& call, const _PruneElem& element) {
    AfPruneReq record;
    std::memset(&record, 0, sizeof record);
    tqsDatabuf_v2 buffer;
    buffer.setExternalBuffer(reinterpret_cast<char*>(&record), sizeof record);
    int ciServerClientId = -1;
    unsigned long serverCellId = 0;
    if (!pruneServerOf(helper, call, element.cloudId, ciServerClientId) ||
        !cellOfServer(helper, ciServerClientId, serverCellId) ||
        !switchPruneSession(helper, call, element.cloudId, ciServerClientId, serverCellId)) {
        return;
    }

    record.cloudId = element.cloudId;
    record.vornCellNumber = element.vornCellNumber;
    record.archiveFileId = element.archiveFileId;
    record.auxValue1 = element.auxValue1;
    record.auxValue2 = element.auxValue2;
    bool timedOut = false;
    const CYxError error =
        call.session->SendXDRMessage(kAfPruneReq, &buffer, kSendFlags, kSendWait, timedOut);
    if (error.IsError()) {
        helper.CIHelperLog(
            "Failed to send TQS_PM_CONTENTIDX_AF_PRUNE_REQ for cloud [%d] vornCellNum [%d] "
            "archive file [%d]. Error:[%s]",
            element.cloudId, element.vornCellNumber, element.archiveFileId,
            error.AsString().c_str());
        return;
    }
    call.reached = true;
}

}  // namespace

int CIAFPruner::PruneCIDocs(std::vector<_PruneElem>& elements) {
    // An uninitialised pruner still prunes; it only writes no lines.
    (void)init();
    std::sort(elements.begin(), elements.end(), comparePruneElem);
    PruneCall call;
    for (const _PruneElem& element : elements) {
        pruneElement(*this, call, element);
    }
    closePruneSession(*this, call);
    return call.reached ? 0 : 1;
}
