// Health checks: `cisrv check` connects to a server as a client would (TLS
// when the environment configures it), says hello naming the health-check
// service, and waits for the accept. A server answers that hello with an
// accept and closes the connection without logging it, so that a probe every
// few seconds leaves no line in the log; a probe that fails on the way (TLS,
// a malformed hello) is logged like any other failed connection.
#pragma once

#include <cstdint>
#include <string>

#include "YxError.h"
#include "session/TqWire.h"

namespace cisrv {

constexpr char kHealthCheckLibrary[] = "cisrv";
constexpr char kHealthCheckEntry[] = "health-check";

inline bool isHealthCheck(const tqsession::Hello& hello) {
    return hello.library == kHealthCheckLibrary && hello.entry == kHealthCheckEntry;
}

// Probes the server at `target` within `timeoutMs`; `secure` tells whether
// the connection ran TLS, and `served` then gets the certificate the server
// presented. A failure says why.
CYxError checkServer(const tqsession::HostPort& target, int64_t timeoutMs, bool& secure,
                     tqsession::TlsExpiry& served);

}  // namespace cisrv
