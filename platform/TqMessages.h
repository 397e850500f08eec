// Content-indexing messages: their codes and the records the session library
// encodes for them. Records are in the machine's own byte order and alignment;
// the session turns them into XDR on the wire.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tqmsg {

constexpr unsigned long kAfPruneReq = 0x0E000701;     // TQS_PM_CONTENTIDX_AF_PRUNE_REQ
constexpr unsigned long kEraseDataReq = 0x0E000703;   // TQS_PM_CONTENTIDX_ERASE_DATA_REQ
constexpr unsigned long kEraseDataResp = 0x0E000704;  // TQS_PM_CONTENTIDX_ERASE_DATA_RESP

constexpr int32_t kEraseKindData = 0;        // backed-up and migrated data
constexpr int32_t kEraseKindRuRizoze = 18;   // RuRizoze data

// Erase request. The fixed part is followed by nothing: `path` points to a
// separate NUL-terminated string. The length handed with the record is
// sizeof(EraseDataReq) + strlen(path) + 1.
struct EraseDataReq {
    int32_t vornCellNumber;
    int32_t clientId;  // 0 in a migrated-data request
    int32_t reserved;  // always 0
    int32_t appType;   // the application id in a migrated-data request
    char* path;
    int32_t eraseKind;
    int32_t padding;
};
static_assert(sizeof(EraseDataReq) == 32, "EraseDataReq layout");
static_assert(offsetof(EraseDataReq, appType) == 12, "EraseDataReq layout");
static_assert(offsetof(EraseDataReq, path) == 16, "EraseDataReq layout");
static_assert(offsetof(EraseDataReq, eraseKind) == 24, "EraseDataReq layout");

// Erase response: only `status` is interpreted; non-zero means erased.
struct EraseDataResp {
    char uninterpreted[24];
    int32_t status;
    int32_t tail;
};
static_assert(sizeof(EraseDataResp) == 32, "EraseDataResp layout");
static_assert(offsetof(EraseDataResp, status) == 24, "EraseDataResp layout");

// Prune request for one archive file; one-way.
struct AfPruneReq {
    int64_t cloudId;
    int64_t vornCellNumber;
    int64_t archiveFileId;
    int64_t auxValue1;
    int64_t auxValue2;
    int32_t reserved;  // always 0
    int32_t padding;
};
static_assert(sizeof(AfPruneReq) == 48, "AfPruneReq layout");
static_assert(offsetof(AfPruneReq, auxValue2) == 32, "AfPruneReq layout");
static_assert(offsetof(AfPruneReq, reserved) == 40, "AfPruneReq layout");

// Texts that name the remote indexing service of a CI server.
constexpr const char kRemoteIndexLibrary[] = "sLNIDXMA";
constexpr const char kRemoteIndexEntry[] = "sLPIDXMA";

}  // namespace tqmsg
