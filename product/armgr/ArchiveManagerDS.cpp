#include "ArchiveManager.h"

#include "EngineList.h"

ArchiveManagerDS::ArchiveManagerDS() = default;

ArchiveManagerDS::~ArchiveManagerDS() = default;

int ArchiveManagerDS::getContentIndexEngineList(GetContentIndexEngineListArgsDS_t* args,
                                                GetContentIndexEngineListRetDS_t* ret) {
    if (args == nullptr || ret == nullptr) {
        return armgr::kFailure;
    }
    std::vector<int64_t> cloudIds;
    const CYxError lookup = tqdir::listApplicationEngines(args->applicationId, cloudIds);
    return armgr::deliverEngineIds(lookup, cloudIds, ret->engineIds);
}
