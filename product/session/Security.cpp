// The security of the environment and the rule that plain TCP stays on
// loopback.
#include "session/Security.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdlib>

#include "session/Errors.h"

namespace tqsession {

namespace {

// IPv4 loopback is 127.0.0.0/8.
constexpr uint32_t kLoopbackNet = 0x7F000000;
constexpr uint32_t kLoopbackMask = 0xFF000000;

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

Security securityFromEnvironment() {
    Security security;
    security.certificate = variable(kTlsCertVariable);
    security.key = variable(kTlsKeyVariable);
    security.authority = variable(kTlsCaVariable);
    security.revocations = variable(kTlsCrlVariable);
    security.allowPlaintext = variable(kAllowPlaintextVariable) == "1";
    security.allowSharedKey = variable(kAllowSharedKeyVariable) == "1";
    return security;
}

bool detail::isLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) & kLoopbackMask) == kLoopbackNet;
    }
    if (address->sa_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&v6)) {
            return true;
        }
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            return v6.s6_addr[12] == (kLoopbackNet >> 24);
        }
    }
    return false;
}

CYxError detail::plaintextRefused(const std::string& where, bool listening) {
    return makeError(tqerr::kSecurity, std::string("TLS is not configured (") + kTlsCertVariable +
                                           "/" + kTlsKeyVariable + "/" + kTlsCaVariable + ") and " +
                                           (listening ? "the listening address " : "the peer ") +
                                           where + " is not on loopback (" +
                                           kAllowPlaintextVariable + "=1 allows plain TCP)");
}

}  // namespace tqsession
