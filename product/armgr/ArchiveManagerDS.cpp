#include "ArchiveManager.h"

#include "armgr/EngineList.h"

ArchiveManagerDS::ArchiveManagerDS() = default;

ArchiveManagerDS::~ArchiveManagerDS() = default;

int ArchiveManagerDS::getContentIndexEngineList(GetContentIndexEngineListArgsDS_t* args,
                                                GetContentIndexEngineListRetDS_t* ret) {
    return armgr::engineList(args, ret, [](const auto& query, std::vector<int64_t>& cloudIds) {
        return tqappmgr::listApplicationEngines(query.applicationId, cloudIds);
    });
}
