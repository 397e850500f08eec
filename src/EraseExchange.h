// One erase request's exchange with a CI server: the request, the two ways an
// answer is read (into a record of its own, or where the buffer points after
// the receive), and what becomes of a session whose exchange failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "TQCIHelper.h"
#include "TqMessages.h"

namespace tqci {

// What an erase request says.
struct RequestFields {
    int cellNumber;
    int clientId;  // 0 for migrated data
    int appType;   // the application id for migrated data
    int32_t eraseKind;
    const char* path;
};

// An erase request for one CI server: the record and the private copy of the
// path it points to. The copy is owned here, never through record.path: a
// receive on the same buffer may overwrite the record.
struct EraseRequest {
    tqmsg::EraseDataReq record;
    std::unique_ptr<char[]> pathCopy;
    size_t pathLength = 0;
};

// What a CI server made of an erase request.
enum class Verdict {
    kConfirmed,     // it reported the entries erased
    kNotConfirmed,  // it did not (or the request never went out)
    kSessionFailed  // the send or the receive failed: the session is spent
};

// Fill `request` and point `buffer` at it. False when the path copy cannot be
// allocated (after the line that says so).
bool buildEraseRequest(CIHelperBase& helper, tqsDatabuf_v2& buffer, EraseRequest& request,
                       const RequestFields& fields);

// The standard exchange: send a built request over the server's session, then
// receive the answer into a response record of its own. Every outcome but a
// confirmation is explained by one line.
Verdict runStandardEraseExchange(CIHelperBase& helper, CTqNetwork& session, tqsDatabuf_v2& buffer,
                                 const EraseRequest& request, int ciServerClientId);

// The migrated-data exchange: send a built request, then receive the answer on
// the same buffer, which still refers to the request record, and read it where
// the buffer points afterwards (the record may be overwritten: nothing of it
// is read after the receive). A time-out is reported as such, error or not.
Verdict runMigratedEraseExchange(CIHelperBase& helper, CTqNetwork& session, tqsDatabuf_v2& buffer,
                                 const EraseRequest& request, int cloudId, int ciServerClientId,
                                 int applicationId);

// Disconnect, destroy and forget the cached session of a CI server whose send
// or receive reported an error. Kept, it would fail every later exchange (a
// broken connection) or hand a late answer to the next request (a timed-out
// receive); forgotten, the next call attaches afresh.
void discardFailedSession(std::map<int, CTqNetwork*>& sessions, int ciServerClientId);

}  // namespace tqci
