// Reading and checking erase and prune requests.
#include "cisrv/Requests.h"

#include <cstring>

#include "cisrv/Escape.h"
#include "cisrv/PathLog.h"
#include "common/ErrorResult.h"

namespace cisrv {

namespace {

using tqmsg::AfPruneReq;
using tqmsg::EraseDataReq;

// Where the path of a decoded erase request starts: right after the record.
constexpr size_t kErasePathOffset = sizeof(EraseDataReq);
static_assert(kErasePathOffset == 32,
              "a decoded erase request is the 32-byte record, then its path");

constexpr int32_t kErasedStatus = 1;
constexpr int32_t kNotErasedStatus = 0;

// A request this server cannot carry out as it came.
CYxError refused(const std::string& why) { return tqcommon::makeError(tqerr::kProtocol, why); }

template <typename Record>
Record copyRecord(const char* data) {
    Record record;
    std::memcpy(&record, data, sizeof record);
    return record;
}

CYxError checkEraseKind(const EraseDataReq& record) {
    switch (record.eraseKind) {
        case tqmsg::kEraseKindData: return CYxError();
        case tqmsg::kEraseKindRuRizoze:
            // RuRizoze data always belongs to a client; without one the request
            // would fall through to migrated data of an application.
            return record.clientId != 0 ? CYxError()
                                        : refused("RuRizoze erase request without a client id");
        default: return refused("unknown erase kind " + std::to_string(record.eraseKind));
    }
}

}  // namespace

CYxError readEraseRequest(const char* data, size_t length, EraseScope& scope) {
    // The record, then at least the NUL of the path.
    if (data == nullptr || length <= kErasePathOffset) {
        return refused("malformed erase request of " + std::to_string(length) + " bytes");
    }
    const auto record = copyRecord<EraseDataReq>(data);
    // The path is read from the bytes after the record, bounded by the
    // buffer, rather than through the record's pointer.
    const char* pathBytes = data + kErasePathOffset;
    const size_t room = length - kErasePathOffset;
    const size_t pathLength = ::strnlen(pathBytes, room);
    if (pathLength == room) {
        return refused("malformed erase request: path without its end");
    }

    scope.path.assign(pathBytes, pathLength);
    scope.cellNumber = record.vornCellNumber;
    if (record.clientId != 0) {
        scope.owner = EraseScope::Owner::ClientData;
        scope.clientId = record.clientId;
        scope.appType = record.appType;
    } else {
        // A migrated-data request carries the application id in `appType`.
        scope.owner = EraseScope::Owner::MigratedData;
        scope.applicationId = record.appType;
    }
    CYxError status = checkEraseKind(record);
    if (!status.IsError() && scope.path.empty()) {
        status = refused("erase request with an empty path");
    }
    return status;
}

CYxError readPruneRequest(const char* data, size_t length, PruneScope& scope) {
    if (data == nullptr || length != sizeof(AfPruneReq)) {
        return refused("malformed prune request of " + std::to_string(length) + " bytes");
    }
    const auto record = copyRecord<AfPruneReq>(data);
    scope.archiveFileId = record.archiveFileId;
    scope.cloudId = record.cloudId;
    scope.cellNumber = record.vornCellNumber;
    return CYxError();
}

tqmsg::EraseDataResp makeEraseResponse(bool erased) {
    tqmsg::EraseDataResp response{};
    response.status = erased ? kErasedStatus : kNotErasedStatus;
    return response;
}

std::string describe(const EraseScope& scope) {
    std::string text = "erase " + loggedPath(scope.path) + " (";
    if (scope.owner == EraseScope::Owner::ClientData) {
        text += "client " + std::to_string(scope.clientId) + ", app type " +
                std::to_string(scope.appType);
    } else {
        text += "migrated, application " + std::to_string(scope.applicationId);
    }
    return text + ", cell " + std::to_string(scope.cellNumber) + ")";
}

std::string describe(const PruneScope& scope) {
    return "prune archive file " + std::to_string(scope.archiveFileId) + " (cloud " +
           std::to_string(scope.cloudId) + ", cell " + std::to_string(scope.cellNumber) + ")";
}

}  // namespace cisrv
