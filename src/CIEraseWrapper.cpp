// The erase helper: the three erases and what a wrapper remembers between
// them. The log texts here are fixed (see CIHelperBase.cpp).

#include "TQCIHelper.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "ArchiveManager.h"
#include "EraseExchange.h"
#include "TqMessages.h"

// What a wrapper remembers between erases
//
// One handle runs many erases, so a wrapper keeps what its erases resolved and
// pays the directory and archive-manager lookups and the attaches once per
// run of like erases. It keeps three groups of fields; each is reused only for
// the key it was resolved for, and only the calls named below change it.
//
// cell      vornCellNumber, looked up for the cell id vornCellIdOfNumber.
//           Reused by backup and migrated erases that name the same cell id
//           (haveVornCellNumber). A lookup for another cell replaces both
//           fields and marks the server list unresolved; a failed lookup
//           changes nothing. A RuRizoze erase brings its own cell number and
//           neither reads nor changes these.
// servers   cloudIds and ciServerClientIds, resolved for the cell above,
//           currentClientId and serverListAppType; valid only while
//           serverListResolved. Reused only by a backup erase for the same
//           cell, client and application type; any other backup erase
//           clears them and resolves again (a failed resolution leaves them
//           cleared and unresolved). A RuRizoze erase for a client other than
//           currentClientId appends its cloud's server, takes that client as
//           currentClientId and marks the list unresolved, so the next backup
//           erase resolves again. A migrated erase resolves its clouds on
//           every call and keeps none of them.
// sessions  clientSessions: one attached session per CI server client id,
//           shared by all three erases (a server's session does not depend
//           on what is erased). A session whose send or receive failed
//           leaves the map (at once in backup and RuRizoze erases, when the
//           call ends in a migrated erase), so the next erase attaches
//           afresh; the destructor destroys the rest.
//
// lastErasedAppId records the last application a migrated erase confirmed;
// no erase reads it back.

using tqci::discardFailedSession;
using tqci::EraseRequest;
using tqci::RequestFields;
using tqci::Verdict;

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

bool CIEraseWrapper::initialize() { return true; }

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
        // fixed text
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
        // fixed text
        CIHelperLog(
            "Failed to get the content indexing engine list for client Id [%d] app type[%d].",
            clientId, appType);
        return false;
    }
    if (received.empty()) {
        CIHelperLog("Found 0 cloud IDs in eraseCIData!!!");  // fixed text
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
            // fixed text
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
        CIHelperLog("Failed to allocate memory for session!!!");  // fixed text
        return nullptr;
    }
    if (!attach(vornCellId, ciServerClientId, 0, session.get())) {
        CIHelperLog("Failed to attach to the CI server [%d]!!!", ciServerClientId);  // fixed text
        return nullptr;
    }
    clientSessions.emplace(ciServerClientId, session.get());
    return session.release();
}

namespace {

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
            // fixed text
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
        wrapper.CIHelperLog(  // fixed text
            "Sending TQS_PM_CONTENTIDX_ERASE_DATA_REQ for vornCellNum [%d] client ID[%d]. "
            "Path [%s] FAST client id [%d]",
            request.record.vornCellNumber, request.record.clientId, fields.path, ciServerClientId);
    }
    return runStandardEraseExchange(wrapper, *session, buffer, request, ciServerClientId);
}

// A standard erase on each listed CI server in turn; false at the first that
// does not confirm. A session whose exchange failed leaves the cache.
bool eraseOnEachServer(CIEraseWrapper& wrapper, std::map<int, CTqNetwork*>& sessions,
                       const std::vector<int>& servers, int vornCellId, const RequestFields& fields,
                       ServerLines lines) {
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
    wrapper.CIHelperLog(  // fixed text
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
                   // fixed text
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
            CIHelperLog("Failed to get the cloud id list");  // fixed text
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
    CIHelperLog("Returning succees after erasing data");  // fixed text
    return 0;
}

int CIEraseWrapper::eraseMigratedData(int vornCellId, int applicationId, const char* path,
                                      bool /*flag*/) {
    // fixed text
    if (!openErase(*this, path,
                   "Refusing to erase CI data of application ID[%d]: the path is null.",
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
            // fixed text
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
    if (!openErase(
            *this, path,
            // fixed text
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
