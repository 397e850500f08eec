// TQCIHelper: keeps the content index in step with deletions.
//
// Hosts use the four plain functions below with an opaque handle; other
// components of the product use the exported classes CIEraseWrapper and
// CIAFPruner directly. Every operation runs on the caller's thread and blocks
// until the CI servers have answered or their waits have run out. A helper
// object (and a handle) is used by one thread at a time.
//
// Results: 0 for success, 1 for failure. Failures are explained in the helper's
// debug log, which is written once the helper has initialised itself on its
// first operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "EvDebug.h"
#include "TqSession.h"

#define TQCI_EXPORT __attribute__((visibility("default")))

extern "C" {

// A new erase handle, or null when no memory could be had. The handle does
// nothing until its first erase call.
TQCI_EXPORT void* initEraseCIHelper();

// Destroy a handle from initEraseCIHelper(); null is ignored.
TQCI_EXPORT void deInitEraseCIHelper(void* handle);

// Erase the index entries of `path` of a client's backed-up data of
// application type `appType` on every CI server that indexes it. 1 when
// `handle` is null. `flag` is accepted and has no effect.
TQCI_EXPORT int eraseBackupData(void* handle, int vornCellId, int clientId, int appType,
                                const char* path, bool flag);

// Erase the index entries of `path` of an application's migrated data on the
// CI server of every cloud that indexes it; 0 when at least one confirmed.
// 1 when `handle` is null. `flag` is accepted and has no effect.
TQCI_EXPORT int eraseMigratedData(void* handle, int vornCellId, int applicationId,
                                  const char* path, bool flag);

}  // extern "C"

// One archive file whose documents are to be pruned from the content index.
// Callers build vectors of these; the layout is shared across modules.
struct _PruneElem {
    int32_t vornCellNumber;  // cell number carried to the server
    int32_t archiveFileId;   // archive file whose documents are pruned
    int32_t cloudId;         // CI cloud that indexed it; the sort key
    int32_t auxValue1;       // carried unchanged to the server
    int32_t auxValue2;       // carried unchanged to the server
    uint32_t spare;          // not interpreted
};
static_assert(sizeof(_PruneElem) == 24, "_PruneElem layout");
static_assert(offsetof(_PruneElem, vornCellNumber) == 0, "_PruneElem layout");
static_assert(offsetof(_PruneElem, archiveFileId) == 4, "_PruneElem layout");
static_assert(offsetof(_PruneElem, cloudId) == 8, "_PruneElem layout");
static_assert(offsetof(_PruneElem, auxValue1) == 12, "_PruneElem layout");
static_assert(offsetof(_PruneElem, auxValue2) == 16, "_PruneElem layout");
static_assert(offsetof(_PruneElem, spare) == 20, "_PruneElem layout");

// True when a's cloud id is less than b's (signed); the order PruneCIDocs uses.
TQCI_EXPORT bool comparePruneElem(const _PruneElem& a, const _PruneElem& b);

// Base of the helpers: a debug log, one-time initialisation, a default
// session, attachment to a CI server's remote indexing service, and directory
// lookups.
class TQCI_EXPORT CIHelperBase {
public:
    CIHelperBase();
    // Disconnects the default session (wait 120) and closes the log.
    virtual ~CIHelperBase();
    // The derived helper's readiness hook, called by init() once the log is set up.
    virtual bool initialize() = 0;

    // Set the log up and run initialize() once; true when initialised.
    bool init();
    // Write one printf-style line to the debug log; nothing before init().
    void CIHelperLog(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Attach `session` (null: the default session) to the remote CI service of
    // the client named by `applicationId` (when not 0) or `clientId`. The
    // caller keeps owning the session.
    bool attach(int vornCellId, int clientId, int applicationId, CTqNetwork* session);
    // The number of a cell; false (and `vornCellNumber` untouched) when it has none.
    bool getVornCellNumber(int vornCellId, int& vornCellNumber);
    // The client id of a cloud's CI server; false and -1 when there is none.
    bool getCISvrClientId(int cloudId, int& ciServerClientId);
    // Kept for users of the class's interface: sends nothing, returns false.
    bool send(int, const tqsDatabuf*);

protected:
    bool initialized;
    // State of the erase wrapper's server list (see CIEraseWrapper), kept in
    // what was padding here because the layout of both classes is fixed.
    bool serverListResolved;  // ciServerClientIds is exactly what was resolved
    int serverListAppType;    // the application type it was resolved for
    EvDebug logger;
    CTqNetwork defaultSession;

    // Size of the process-wide line buffer, terminating NUL included.
    static constexpr size_t kMessageSize = 65535;
    static char sMessage[kMessageSize];
};

// The erase helper: the object behind an erase handle.
class TQCI_EXPORT CIEraseWrapper : public CIHelperBase {
public:
    CIEraseWrapper();
    // Destroys the cached sessions (without disconnecting them).
    ~CIEraseWrapper() override;
    // Nothing to prepare: returns true.
    bool initialize() override;

    // See eraseBackupData() above; also for components holding a wrapper.
    int eraseBackupData(int vornCellId, int clientId, int appType, const char* path, bool flag);
    // See eraseMigratedData() above.
    int eraseMigratedData(int vornCellId, int applicationId, const char* path, bool flag);
    // Erase the index entries of `path` of a client's RuRizoze data on the CI
    // server of `cloudId` and on every CI server this wrapper already lists.
    int eraseRuRizozeCIData(int vornCellId, int vornCellNumber, int clientId, int appType,
                            int cloudId, const char* path);

    // Append the clouds that index a client's data (useCS) or an application's
    // data (!useCS) to `cloudIds`; false when the archive manager failed.
    bool getCloudIds(int clientId, int appType, int applicationId, std::vector<int>& cloudIds,
                     bool useCS);
    // The attached session of a CI server, created and attached on first use;
    // null on failure. The wrapper keeps owning it.
    CTqNetwork* getClientSession(int vornCellId, int ciServerClientId);

protected:
    int vornCellNumber;
    int currentClientId;
    std::vector<int> cloudIds;
    std::vector<int> ciServerClientIds;
    int lastErasedAppId;
    // The vornCell id vornCellNumber was looked up for; the server list belongs
    // to that cell too. Kept in what was padding: the layout is fixed.
    int vornCellIdOfNumber;
    std::map<int, CTqNetwork*> clientSessions;
};

// The prune helper: removes the documents of pruned archive files from the
// content index, one session per run of a cloud.
class TQCI_EXPORT CIAFPruner : public CIHelperBase {
public:
    CIAFPruner();
    ~CIAFPruner() override;
    bool initialize() override;

    // Sort `elements` by cloud (in place) and send one prune request per
    // element to its cloud's document processing server. 0 when any server was
    // reached (an attach or a send succeeded), 1 otherwise.
    int PruneCIDocs(std::vector<_PruneElem>& elements);
};
