// Addresses. A host is "name[:port]"; an IPv6 literal takes brackets when it
// has a port ("[::1]:8403"); without a port kDefaultPort applies. Names are
// resolved for IPv4 and IPv6 and each address is tried in turn.
#pragma once

#include <cstdint>
#include <string>

#include "TqPlatformApi.h"
#include "YxError.h"
#include "session/Security.h"
#include "session/Waits.h"

namespace tqsession {

constexpr uint16_t kDefaultPort = 8403;

struct HostPort {
    std::string host;
    uint16_t port = kDefaultPort;
};

TQ_PLATFORM_API CYxError parseHostPort(const char* text, HostPort& out);
// Resolves `target` and connects over IPv4 or IPv6 within `deadline`. On
// success `fd` is a socket in non-blocking mode with TCP_NODELAY and `peer`
// names the address reached ("127.0.0.1:8403", "[::1]:8403").
TQ_PLATFORM_API CYxError connectTcp(const HostPort& target, const Deadline& deadline,
                                    bool& timedOut, int& fd, std::string& peer);
// A listening socket on `address` (numeric; null: every address) and `port`
// (0: any free port, reported in `boundPort`). Without TLS an address beyond
// loopback is refused (kSecurity) unless plain TCP is allowed; with TLS the
// server's certificate, key and authority are loaded first, so that bad files
// show at once. The first form takes the security of the environment.
TQ_PLATFORM_API CYxError listenTcp(const char* address, uint16_t port, int& fd,
                                   uint16_t& boundPort);
TQ_PLATFORM_API CYxError listenTcp(const char* address, uint16_t port, const Security& security,
                                   int& fd, uint16_t& boundPort);

namespace detail {

// connectTcp() that, with `loopbackOnly`, refuses (kSecurity) every address
// beyond loopback without contacting it. Leaves TCP_NODELAY to the caller
// (Connection::adopt sets it once).
CYxError connectTcp(const HostPort& target, bool loopbackOnly, const Deadline& deadline,
                    bool& timedOut, int& fd, std::string& peer);

}  // namespace detail
}  // namespace tqsession
