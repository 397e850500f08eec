// What a CI server serves and how: index, address, offered service, limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "TqMessages.h"
#include "cisrv/IndexStore.h"
#include "cisrv/IndexWriter.h"
#include "cisrv/PathLog.h"

namespace cisrv {

struct ServerConfig {
    std::string indexFile;
    // A numeric address; port 0 picks a free port.
    std::string listenAddress = "127.0.0.1";
    uint16_t listenPort = 0;
    // The remote service clients must name when they attach.
    std::string serviceLibrary = tqmsg::kRemoteIndexLibrary;
    std::string serviceEntry = tqmsg::kRemoteIndexEntry;
    // Answer erases with status 0 and ignore prunes; the index is never changed.
    bool readOnly = false;
    // Sessions served at once; a hello beyond that is refused ("server busy").
    size_t maxSessions = 64;
    // Connections not yet through their TLS handshake and hello, in all and
    // from one peer address; a connection beyond either is closed at once.
    size_t maxPending = 4096;
    size_t maxPendingPerPeer = 16;
    // Plain milliseconds, whatever TQ_SESSION_WAIT_UNIT_MS says: from the
    // accept to the end of the hello, and of silence before an attached
    // session is closed.
    int64_t handshakeTimeoutMs = 10'000;
    int64_t idleTimeoutMs = 600'000;
    // Warn of a TLS certificate or revocation list that runs out within this
    // many days (at start, after a reload, once a day).
    int64_t tlsWarnDays = 30;
    StoreOptions store;
    IndexWriter::Limits writer;  // the purge's bound too (writer.purge)
    // How erase log lines show paths (--log-paths).
    PathLogging pathLogging;
};

}  // namespace cisrv
