#include "ArchiveManager.h"

#include "EngineList.h"

// The directory database is the one source of engine lists here; a session
// would reach a server that answers from that same directory, so the lookup
// is local whether or not one is given.
ArchiveManagerCS::ArchiveManagerCS(TqSessionSend* session) : m_session(session) {}

ArchiveManagerCS::~ArchiveManagerCS() = default;

int ArchiveManagerCS::getContentIndexEngineList(GetContentIndexEngineListArgs_t* args,
                                                GetContentIndexEngineListRet_t* ret) {
    if (args == nullptr || ret == nullptr) {
        return armgr::kFailure;
    }
    std::vector<int64_t> cloudIds;
    const CYxError lookup = tqdir::listClientEngines(args->clientId, args->appType, cloudIds);
    return armgr::deliverEngineIds(lookup, cloudIds, ret->engineIds);
}
