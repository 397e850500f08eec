// One client's conversation with the CI server: the attach handshake, then
// erase and prune requests until the peer closes, breaks the protocol, stays
// idle too long, or the server stops.
#pragma once

#include <atomic>
#include <cstdint>

#include "cisrv/Admission.h"
#include "cisrv/IndexWriter.h"
#include "cisrv/ServerConfig.h"
#include "cisrv/ServerLog.h"
#include "session/TqWire.h"

namespace cisrv {

struct SessionContext {
    const ServerConfig& config;
    ServerLog& log;
    IndexWriter& writer;
    // Set when the server stops: the session ends after the request it is in.
    const std::atomic<bool>& stop;
    // The connection's place: pending until its hello is accepted.
    Admission::Place& place;
    // When the TLS handshake and the hello must be done, from the accept on.
    tqsession::Deadline attachDeadline;
};

// Serves the accepted `connection` to its end and closes it; everything the
// session handed to the writer is committed before it returns. Never throws.
void serveSession(uint64_t number, tqsession::Connection& connection,
                  const SessionContext& context) noexcept;

}  // namespace cisrv
