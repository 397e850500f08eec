// The product's archive managers (libArMgrCS, libArMgrDS): which
// content-indexing engines (clouds) index a client's or an application's data.
#pragma once

#include <cstdint>
#include <vector>

#include "TqPlatformApi.h"

// A session to the archive manager's server; null selects the local directory.
class TqSessionSend;

struct GetContentIndexEngineListArgs_t {
    int32_t clientId = 0;
    int32_t appType = 0;
    int32_t applicationId = 0;
};

struct GetContentIndexEngineListArgsDS_t {
    int32_t clientId = 0;
    int32_t appType = 0;
    int32_t applicationId = 0;
};

struct GetContentIndexEngineListRet_t {
    std::vector<int> engineIds;
};

struct GetContentIndexEngineListRetDS_t {
    std::vector<int> engineIds;
};

class TQ_PLATFORM_API ArchiveManagerCS {
public:
    explicit ArchiveManagerCS(TqSessionSend* session);
    ~ArchiveManagerCS();
    ArchiveManagerCS(const ArchiveManagerCS&) = delete;
    ArchiveManagerCS& operator=(const ArchiveManagerCS&) = delete;

    // Engines for (clientId, appType). Negative on failure; otherwise the
    // number of engines, listed in `ret->engineIds` in stored order.
    int getContentIndexEngineList(GetContentIndexEngineListArgs_t* args,
                                  GetContentIndexEngineListRet_t* ret);

private:
    TqSessionSend* m_session;
};

class TQ_PLATFORM_API ArchiveManagerDS {
public:
    ArchiveManagerDS();
    ~ArchiveManagerDS();
    ArchiveManagerDS(const ArchiveManagerDS&) = delete;
    ArchiveManagerDS& operator=(const ArchiveManagerDS&) = delete;

    // Engines for `args->applicationId`, as above.
    int getContentIndexEngineList(GetContentIndexEngineListArgsDS_t* args,
                                  GetContentIndexEngineListRetDS_t* ret);
};
