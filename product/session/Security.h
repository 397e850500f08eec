// Security. With TLS configured every connection runs TLS 1.3 and both ends
// present certificates signed by the cell's authority; the client checks that
// the server's certificate names the host it dialled. Without TLS, plain TCP
// is allowed only over loopback unless TQ_ALLOW_PLAINTEXT=1.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TqPlatformApi.h"
#include "YxError.h"

namespace tqsession {

constexpr const char kTlsCertVariable[] = "TQ_TLS_CERT";
constexpr const char kTlsKeyVariable[] = "TQ_TLS_KEY";
constexpr const char kTlsCaVariable[] = "TQ_TLS_CA";
constexpr const char kTlsCrlVariable[] = "TQ_TLS_CRL";
constexpr const char kAllowPlaintextVariable[] = "TQ_ALLOW_PLAINTEXT";
constexpr const char kAllowSharedKeyVariable[] = "TQ_TLS_ALLOW_SHARED_KEY";

struct Security {
    // PEM files. TLS is on when any is set; the authority is then required,
    // a server needs its certificate and key, a client without them is
    // refused by the servers.
    std::string certificate;
    std::string key;
    std::string authority;
    // The authority's certificate revocation lists: a PEM file of one or
    // several, or a folder of them in c_rehash form. Empty: none are checked.
    std::string revocations;
    // Plain TCP to and from addresses beyond loopback.
    bool allowPlaintext = false;
    // Use a key file that group or others may read or write (a key on a
    // read-only mount managed by an orchestrator); otherwise it is refused.
    bool allowSharedKey = false;

    bool tlsEnabled() const {
        return !certificate.empty() || !key.empty() || !authority.empty() || !revocations.empty();
    }
    // Whether plain TCP must stay on loopback.
    bool loopbackOnly() const { return !tlsEnabled() && !allowPlaintext; }
};

// The security the environment selects (read at each call).
TQ_PLATFORM_API Security securityFromEnvironment();

// Reads the server's TLS files of `security` again (a server's SIGHUP):
// connections accepted from then on use them, connections already open go
// on. On failure the files read before stay in use and the error says why.
TQ_PLATFORM_API CYxError reloadServerTls(const Security& security);

// When a certificate or revocation list of `security` runs out.
struct TlsExpiry {
    std::string what;     // "certificate", "authority", "revocation list", "server
                          // certificate"
    std::string file;     // empty for a peer's certificate
    std::string subject;  // of a certificate; the issuer of a revocation list
    std::string serial;   // of a certificate, in hex as openssl prints it
    int64_t expires = 0;  // seconds since 1970: notAfter, or the list's next update (0: none)
};

// The expiries of the files of `security`: this end's certificate, each
// authority, each revocation list. Fails when a file cannot be read.
TQ_PLATFORM_API CYxError tlsExpiries(const Security& security, std::vector<TlsExpiry>& out);

// "in 12 days", "in 5 hours", "2 days ago": how far `expires` lies from `now`.
TQ_PLATFORM_API std::string describeExpiry(int64_t expires, int64_t now);

namespace detail {

// Whether `address` is on loopback (127.0.0.0/8, ::1, or 127/8 mapped to v6).
bool isLoopback(const sockaddr* address);
// The refusal of a plain connection to or from `where` beyond loopback.
CYxError plaintextRefused(const std::string& where, bool listening);

}  // namespace detail
}  // namespace tqsession
