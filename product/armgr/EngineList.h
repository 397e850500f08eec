// What both archive managers do with an engine list read from the directory.
#pragma once

#include <cstdint>
#include <vector>

#include "TqIds.h"
#include "appmgr/TqDirectory.h"

namespace armgr {

// getContentIndexEngineList's result when it has no answer (no arguments, or
// the directory failed).
constexpr int kFailure = -1;

// getContentIndexEngineList of either manager: `lookup(*args, cloudIds)`
// reads the cloud ids; `ret->engineIds` receives the low 32 bits of each.
// Returns their number, or kFailure without arguments or when the lookup failed.
template <typename Args, typename Ret, typename Lookup>
int engineList(const Args* args, Ret* ret, Lookup lookup) {
    if (args == nullptr || ret == nullptr) {
        return kFailure;
    }
    std::vector<int64_t> cloudIds;
    if (lookup(*args, cloudIds).IsError()) {
        return kFailure;
    }
    ret->engineIds.clear();
    for (const int64_t cloudId : cloudIds) {
        ret->engineIds.push_back(tq::narrowId(tqappmgr::fromStoredId(cloudId)));
    }
    return static_cast<int>(ret->engineIds.size());
}

}  // namespace armgr
