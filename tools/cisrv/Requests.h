// The requests a CI server carries out, read from the records the session
// library decodes, checked, and turned into what the index removes.
#pragma once

#include <cstddef>
#include <string>

#include "TqMessages.h"
#include "YxError.h"
#include "cisrv/IndexStore.h"
#include "cisrv/PathLog.h"

namespace cisrv {

// Reads a decoded erase request: the 32-byte record, then its path and NUL.
// `scope` is filled as far as the request allows, for the log, also when the
// result says why the request cannot be carried out (unknown erase kind,
// empty path, a RuRizoze erase without a client, a malformed record).
CYxError readEraseRequest(const char* data, size_t length, EraseScope& scope);

// Reads a decoded prune request record.
CYxError readPruneRequest(const char* data, size_t length, PruneScope& scope);

// The answer to an erase request: status 1 when it was carried out, else 0.
tqmsg::EraseDataResp makeEraseResponse(bool erased);

// One-line descriptions for the log, with the path as --log-paths says
// (PathLog.h): escaped, as a keyed hash, or left out.
std::string describe(const EraseScope& scope);
std::string describe(const PruneScope& scope);

}  // namespace cisrv
