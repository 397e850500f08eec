// What a CI server serves and how: index, address, offered service, limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "IndexStore.h"
#include "IndexWriter.h"
#include "TqMessages.h"

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
    // Sessions served at once; more are refused at attach.
    size_t maxSessions = 64;
    // Waits in units of TQ_SESSION_WAIT_UNIT_MS (a second by default): a
    // session that sends nothing for `idleWait` is closed (ten minutes), a new
    // connection must say hello within `helloWait`.
    int idleWait = 600;
    int helloWait = 120;
    StoreOptions store;
    IndexWriter::Limits writer;
};

}  // namespace cisrv
