// The prune helper: one prune request per element, one session per run of a
// cloud. The log texts here are fixed (see CIHelperBase.cpp).

#include "TQCIHelper.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "SessionWaits.h"
#include "TQAppMgr.h"
#include "TqIds.h"
#include "TqMessages.h"

namespace {

using tqci::kDisconnectWait;
using tqci::kSendFlags;
using tqci::kSendWait;
using tqmsg::AfPruneReq;
using tqmsg::kAfPruneReq;

}  // namespace

bool comparePruneElem(const _PruneElem& a, const _PruneElem& b) { return a.cloudId < b.cloudId; }

CIAFPruner::CIAFPruner() = default;

CIAFPruner::~CIAFPruner() = default;

bool CIAFPruner::initialize() { return true; }

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
        helper.CIHelperLog("Failed to get the client id for dps server!!!");  // fixed text
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
        // fixed text
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
        helper.CIHelperLog(  // fixed text
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
            helper.CIHelperLog(  // fixed text
                "Failed to attach to document processing server for pruning. ClientId [%d]",
                ciServerClientId);
        } else {
            // fixed text
            helper.CIHelperLog("Failed to attach to document processing server for pruning.");
        }
        return false;
    }
    if (firstSession) {
        helper.CIHelperLog("Succeed to connect to dps client.");  // fixed text
    } else {
        // fixed text
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
        helper.CIHelperLog(  // fixed text
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
