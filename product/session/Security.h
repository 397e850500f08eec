// Security. With TLS configured every connection runs TLS 1.3 and both ends
// present certificates signed by the cell's authority; the client checks that
// the server's certificate names the host it dialled. Without TLS, plain TCP
// is allowed only over loopback unless TQ_ALLOW_PLAINTEXT=1.
#pragma once

#include <sys/socket.h>

#include <string>

#include "TqPlatformApi.h"
#include "YxError.h"

namespace tqwire {

constexpr const char kTlsCertVariable[] = "TQ_TLS_CERT";
constexpr const char kTlsKeyVariable[] = "TQ_TLS_KEY";
constexpr const char kTlsCaVariable[] = "TQ_TLS_CA";
constexpr const char kAllowPlaintextVariable[] = "TQ_ALLOW_PLAINTEXT";
constexpr const char kAllowSharedKeyVariable[] = "TQ_TLS_ALLOW_SHARED_KEY";

struct Security {
    // PEM files. TLS is on when any is set; the authority is then required,
    // a server needs its certificate and key, a client without them is
    // refused by the servers.
    std::string certificate;
    std::string key;
    std::string authority;
    // Plain TCP to and from addresses beyond loopback.
    bool allowPlaintext = false;
    // Use a key file that group or others may read or write (a key on a
    // read-only mount managed by an orchestrator); otherwise it is refused.
    bool allowSharedKey = false;

    bool tlsEnabled() const {
        return !certificate.empty() || !key.empty() || !authority.empty();
    }
    // Whether plain TCP must stay on loopback.
    bool loopbackOnly() const { return !tlsEnabled() && !allowPlaintext; }
};

// The security the environment selects (read at each call).
TQ_PLATFORM_API Security securityFromEnvironment();

namespace detail {

// Whether `address` is on loopback (127.0.0.0/8, ::1, or 127/8 mapped to v6).
bool isLoopback(const sockaddr* address);
// The refusal of a plain connection to or from `where` beyond loopback.
CYxError plaintextRefused(const std::string& where, bool listening);

}  // namespace detail
}  // namespace tqwire
