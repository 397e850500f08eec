// What both archive managers do with an engine list read from the directory.
#pragma once

#include <cstdint>
#include <vector>

#include "TqDirectory.h"
#include "TqIds.h"

namespace armgr {

// getContentIndexEngineList's result when it has no answer (no arguments, or
// the directory failed).
constexpr int kFailure = -1;

// Replace `engineIds` with the low 32 bits of each cloud id of a lookup and
// return their number, or kFailure when the lookup failed.
inline int deliverEngineIds(const CYxError& lookup, const std::vector<int64_t>& cloudIds,
                            std::vector<int>& engineIds) {
    if (lookup.IsError()) {
        return kFailure;
    }
    engineIds.clear();
    for (const int64_t cloudId : cloudIds) {
        engineIds.push_back(tq::narrowId(tqdir::fromStoredId(cloudId)));
    }
    return static_cast<int>(engineIds.size());
}

}  // namespace armgr
