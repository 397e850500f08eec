// The server's TLS files over its life: read again on SIGHUP (connections
// accepted after it use the new ones, open sessions go on; files that cannot
// be used leave the old ones serving), and a warning at start, after a
// reload and once a day for each certificate or revocation list that runs
// out within --tls-warn-days.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "cisrv/ServerLog.h"
#include "session/TqWire.h"

namespace cisrv {

class TlsUpkeep {
public:
    TlsUpkeep(ServerLog& log, int64_t warnDays);

    // Asks for a reload at the next poll(); safe in a signal handler.
    static void requestReload() noexcept { s_requests.fetch_add(1); }

    // The warnings of the start.
    void start();
    // From the accept loop: a reload when asked, the day's warnings when due.
    void poll();

private:
    void reload();
    void warnOfExpiries();

    ServerLog& m_log;
    const int64_t m_warnDays;
    // The files the server's connections use (read from the environment at
    // each accept, which does not change).
    const tqsession::Security m_security;
    unsigned m_handled;
    std::chrono::steady_clock::time_point m_nextWarnings{};
    static inline std::atomic<unsigned> s_requests{0};
    static_assert(std::atomic<unsigned>::is_always_lock_free, "counted in a signal handler");
};

}  // namespace cisrv
