// One erase request's exchange with a CI server. The log texts here are fixed
// (see CIHelperBase.cpp).

#include "EraseExchange.h"

#include <cstring>
#include <new>

#include "SessionWaits.h"

namespace tqci {
namespace {

using tqmsg::EraseDataReq;
using tqmsg::EraseDataResp;
using tqmsg::kEraseDataReq;
using tqmsg::kEraseDataResp;

// Hand a built erase request to the session.
CYxError sendEraseRequest(CTqNetwork& session, tqsDatabuf_v2& buffer) {
    bool timedOut = false;
    return session.SendXDRMessage(kEraseDataReq, &buffer, kSendFlags, kSendWait, timedOut);
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

}  // namespace

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

bool buildEraseRequest(CIHelperBase& helper, tqsDatabuf_v2& buffer, EraseRequest& request,
                       const RequestFields& fields) {
    std::memset(&request.record, 0, sizeof request.record);
    request.record.eraseKind = fields.eraseKind;
    request.pathLength = std::strlen(fields.path);
    request.pathCopy.reset(new (std::nothrow) char[request.pathLength + 1]);
    if (!request.pathCopy) {
        helper.CIHelperLog("Failed to allocate memory for the path!!!");  // fixed text
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

Verdict runStandardEraseExchange(CIHelperBase& helper, CTqNetwork& session, tqsDatabuf_v2& buffer,
                                 const EraseRequest& request, int ciServerClientId) {
    CYxError error = sendEraseRequest(session, buffer);
    if (error.IsError()) {
        helper.CIHelperLog(  // fixed text
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
    error =
        session.ReceiveXDRMessage(&code, &buffer, nullptr, kReceiveFlags, kReceiveWait, timedOut);
    if (error.IsError()) {
        // fixed text
        helper.CIHelperLog("Failed to receive TQS_PM_CONTENTIDX_ERASE_DATA_RESP. Error:[%s]",
                           error.AsString().c_str());
        return Verdict::kSessionFailed;
    }

    Verdict verdict = Verdict::kConfirmed;
    if (code != kEraseDataResp) {
        helper.CIHelperLog("Incorrect message %lu received", code);  // fixed text
        verdict = Verdict::kNotConfirmed;
    } else if (response.status == 0) {
        helper.CIHelperLog(  // fixed text
            "Received [%d] as the status code from client [%d], Apptype [%d], CIServer [%d]",
            response.status, request.record.clientId, request.record.appType, ciServerClientId);
        verdict = Verdict::kNotConfirmed;
    }
    (void)session.FreeReceivedMessage(kEraseDataResp, &buffer);
    return verdict;
}

Verdict runMigratedEraseExchange(CIHelperBase& helper, CTqNetwork& session, tqsDatabuf_v2& buffer,
                                 const EraseRequest& request, int cloudId, int ciServerClientId,
                                 int applicationId) {
    CYxError error = sendEraseRequest(session, buffer);
    if (error.IsError()) {
        helper.CIHelperLog(  // fixed text
            "Failed to send TQS_PM_CONTENTIDX_ERASE_DATA_REQ for cloud [%d] vornCellNum [%d] "
            "client ID[%d]. Error:[%s]",
            cloudId, request.record.vornCellNumber, request.record.clientId,
            error.AsString().c_str());
        return Verdict::kSessionFailed;
    }

    unsigned long code = 0;
    bool timedOut = false;
    error =
        session.ReceiveXDRMessage(&code, &buffer, nullptr, kReceiveFlags, kReceiveWait, timedOut);
    if (timedOut) {
        // fixed text
        helper.CIHelperLog(
            "Failed(TimedOut) to receive data for TQS_PM_CONTENTIDX_ERASE_DATA_RESP!!!");
        return Verdict::kSessionFailed;
    }
    if (error.IsError()) {
        // fixed text
        helper.CIHelperLog("Failed to receive TQS_PM_CONTENTIDX_ERASE_DATA_RESP. Error:[%s]",
                           error.AsString().c_str());
        return Verdict::kSessionFailed;
    }
    if (code == kEraseDataResp && statusInReceivedBody(buffer) != 0) {
        // fixed text
        helper.CIHelperLog(
            "Received erase data response for application ID[%d] for CI server[%d]!!",
            applicationId, ciServerClientId);
        return Verdict::kConfirmed;
    }
    // fixed text
    helper.CIHelperLog("Failed to erase data for application ID[%d] for CI server[%d]!!",
                       applicationId, ciServerClientId);
    return Verdict::kNotConfirmed;
}

}  // namespace tqci
