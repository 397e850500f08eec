// Message codecs: records (see TqMessages.h) <-> XDR bodies.
//   0x0E000701 prune request  : hyper cloudId, vornCellNumber, archiveFileId,
//                               auxValue1, auxValue2; int reserved
//   0x0E000703 erase request  : int vornCellNumber, clientId, reserved, appType;
//                               string path; int eraseKind
//   0x0E000704 erase response : opaque[24] uninterpreted; int status; int tail
//   any other code            : opaque<> holding the record's valid bytes
#pragma once

#include <cstddef>
#include <cstdint>

#include "TqPlatformApi.h"
#include "TqSession.h"
#include "YxError.h"

namespace tqsession {

// Caller memory can be handed over with a length that overstates it (an
// erase request's length counts its separate path), so only records no
// larger than the smallest record are written into it.
constexpr size_t kMaxInPlaceRecord = 32;

// Validates the record of `code` at `record` (`length` valid bytes) and
// reports the size of its XDR body.
TQ_PLATFORM_API CYxError measureBody(uint32_t code, const char* record, unsigned long length,
                                     size_t& bodyLength);
// Writes the body of a record that measureBody() accepted; `out` holds
// exactly `bodyLength` bytes.
TQ_PLATFORM_API CYxError encodeBody(uint32_t code, const char* record, unsigned long length,
                                    char* out, size_t bodyLength);
// Decodes a received body into `target`. A decoded record of at most
// kMaxInPlaceRecord bytes that fits the valid length of caller memory the
// buffer refers to is written there (that many bytes, no more) and the valid
// length becomes its size; any other goes to memory the buffer owns (the
// memory of an earlier receive when the new form fits it, else new memory).
// A decoded erase request is the 32-byte record followed by the path and its
// NUL, the record's `path` pointing at that copy. kProtocol for a malformed
// body, which leaves `target` untouched.
TQ_PLATFORM_API CYxError decodeBody(uint32_t code, const char* body, size_t bodyLength,
                                    tqsDatabuf_v2& target);

}  // namespace tqsession
