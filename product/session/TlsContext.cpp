// The process's TLS contexts: built from the security's files on first use,
// checked before use, and kept.
#include "TlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "Errors.h"

namespace tqwire::detail {

namespace {

// Room for one OpenSSL error text.
constexpr size_t kErrorTextSize = 256;

struct ContextDeleter {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using ContextPtr = std::unique_ptr<SSL_CTX, ContextDeleter>;

// The contexts built so far, keyed by role and files. OpenSSL is initialised
// before the map exists, so the map is destroyed before OpenSSL cleans up at
// exit.
class ContextCache {
public:
    ContextCache() { OPENSSL_init_ssl(0, nullptr); }

    bool get(TlsRole role, const Security& security, SSL_CTX*& out, CYxError& error) {
        const std::string key = std::string(role == TlsRole::Client ? "client" : "server") +
                                '\n' + security.certificate + '\n' + security.key + '\n' +
                                security.authority + (security.allowSharedKey ? "\n1" : "\n0");
        const std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_contexts.find(key);
        if (found == m_contexts.end()) {
            ContextPtr built;
            if (!build(role, security, built, error)) return false;
            found = m_contexts.emplace(key, std::move(built)).first;
        }
        out = found->second.get();
        return true;
    }

private:
    static bool build(TlsRole role, const Security& security, ContextPtr& out, CYxError& error);

    std::mutex m_mutex;
    std::map<std::string, ContextPtr> m_contexts;
};

CYxError contextError(const std::string& what) {
    const std::string reasons = takeOpenSslErrors();
    return makeError(tqerr::kSecurity,
                     "TLS setup failed: " + what + (reasons.empty() ? "" : " (" + reasons + ")"));
}

bool checkFiles(TlsRole role, const Security& security, CYxError& error) {
    if (security.authority.empty()) {
        error = makeError(tqerr::kSecurity, std::string("TLS setup failed: ") + kTlsCaVariable +
                                                " (the cell's authority) is not set");
        return false;
    }
    if (security.certificate.empty() != security.key.empty()) {
        error = makeError(tqerr::kSecurity, std::string("TLS setup failed: ") +
                                                kTlsCertVariable + " and " + kTlsKeyVariable +
                                                " must be set together");
        return false;
    }
    if (role == TlsRole::Server && security.certificate.empty()) {
        error = makeError(tqerr::kSecurity, std::string("TLS setup failed: a server needs ") +
                                                kTlsCertVariable + " and " + kTlsKeyVariable);
        return false;
    }
    return true;
}

// A key that group or others can read is no longer secret, and one they can
// write can be swapped for theirs; either is refused unless the owner says
// the key is shared on purpose. A file that cannot be examined is left to
// OpenSSL's load, which names the problem.
bool checkKeyIsPrivate(const Security& security, CYxError& error) {
    constexpr mode_t kShared = S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;
    struct stat info {};
    if (security.allowSharedKey || ::stat(security.key.c_str(), &info) != 0 ||
        (info.st_mode & kShared) == 0) {
        return true;
    }
    char mode[8];
    (void)std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    error = makeError(tqerr::kSecurity,
                      "TLS setup failed: private key " + security.key +
                          " is readable or writable by group or others (mode " + mode +
                          "); make it private with chmod 600 " + security.key + " (or set " +
                          kAllowSharedKeyVariable + "=1 for a key on a read-only mount)");
    return false;
}

bool ContextCache::build(TlsRole role, const Security& security, ContextPtr& out,
                         CYxError& error) {
    if (!checkFiles(role, security, error)) return false;
    ERR_clear_error();
    ContextPtr context(
        SSL_CTX_new(role == TlsRole::Client ? TLS_client_method() : TLS_server_method()));
    if (!context) {
        error = contextError("cannot create a context");
        return false;
    }
    SSL_CTX* ctx = context.get();
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    // Whole records per read: one system call brings in what has arrived.
    SSL_CTX_set_read_ahead(ctx, 1);
    // Sessions are long-lived and few: no resumption, no tickets to send or keep.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    if (!security.certificate.empty()) {
        if (!checkKeyIsPrivate(security, error)) return false;
        if (SSL_CTX_use_certificate_chain_file(ctx, security.certificate.c_str()) != 1) {
            error = contextError("cannot read certificate " + security.certificate);
            return false;
        }
        if (SSL_CTX_use_PrivateKey_file(ctx, security.key.c_str(), SSL_FILETYPE_PEM) != 1) {
            error = contextError("cannot read key " + security.key);
            return false;
        }
        if (SSL_CTX_check_private_key(ctx) != 1) {
            error = contextError("key " + security.key + " does not match certificate " +
                                 security.certificate);
            return false;
        }
    }
    if (SSL_CTX_load_verify_locations(ctx, security.authority.c_str(), nullptr) != 1) {
        error = contextError("cannot read authority " + security.authority);
        return false;
    }
    SSL_CTX_set_verify(ctx,
                       role == TlsRole::Server
                           ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT
                           : SSL_VERIFY_PEER,
                       nullptr);
    out = std::move(context);
    return true;
}

}  // namespace

bool tlsContext(TlsRole role, const Security& security, SSL_CTX*& out, CYxError& error) {
    static ContextCache cache;
    return cache.get(role, security, out, error);
}

std::string takeOpenSslErrors() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char reason[kErrorTextSize];
        const char* name = ERR_reason_error_string(code);
        if (name == nullptr) {
            ERR_error_string_n(code, reason, sizeof reason);
            name = reason;
        }
        if (!text.empty()) text += "; ";
        text += name;
    }
    return text;
}

}  // namespace tqwire::detail
