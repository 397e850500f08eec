#include "ArchiveManager.h"

#include "armgr/EngineList.h"

// The directory database is the one source of engine lists here; a session
// would reach a server that answers from that same directory, so the lookup
// is local whether or not one is given.
ArchiveManagerCS::ArchiveManagerCS(TqSessionSend* session) : m_session(session) {}

ArchiveManagerCS::~ArchiveManagerCS() = default;

int ArchiveManagerCS::getContentIndexEngineList(GetContentIndexEngineListArgs_t* args,
                                                GetContentIndexEngineListRet_t* ret) {
    return armgr::engineList(args, ret, [](const auto& query, std::vector<int64_t>& cloudIds) {
        return tqappmgr::listClientEngines(query.clientId, query.appType, cloudIds);
    });
}
