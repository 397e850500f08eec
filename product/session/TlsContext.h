// The process's TLS contexts (not exported): one per role and set of files,
// built on first use and kept; a client's is read again when its files
// change, a server's when the server asks (reloadServerTls).
#pragma once

#include <memory>
#include <string>

#include "YxError.h"
#include "session/Security.h"

using SSL_CTX = struct ssl_ctx_st;
using X509 = struct x509_st;

namespace tqsession::detail {

enum class TlsRole { Client, Server };

struct ContextDeleter {
    void operator()(SSL_CTX* context) const;
};
// One reference to a context; a context a reload replaced lives on while
// references to it (and the connections made with it) remain.
using ContextPtr = std::unique_ptr<SSL_CTX, ContextDeleter>;

// The context of `role` for `security`, built on first use. A client's
// context is read again when its certificate or its revocation lists (its
// authority, without lists) changed since it was built; it looks at most
// once a second, with one stat() per file. Changed files that cannot be
// used leave the old context and a notice. False with `error` (kSecurity)
// when no context can be built. `out` is only good until the context is
// replaced: keep one with acquireTlsContext().
bool tlsContext(TlsRole role, const Security& security, SSL_CTX*& out, CYxError& error);

// A reference to the context tlsContext() keeps (built when there is none;
// the files are not looked at again).
bool acquireTlsContext(TlsRole role, const Security& security, ContextPtr& out, CYxError& error);

// Once per read of a client's files, a line for the caller's log (empty
// when there is none): this end's certificate runs out within 30 days, or
// changed files could not be used. An attach takes it, so that a new
// connection made within a send (the session attaching again) keeps it for
// the next attach.
std::string takeTlsNotice(const Security& security);

// "subject CN=host, serial 1A2B" of a certificate (escaped for a log).
std::string describeCertificate(X509* certificate);
// Subject, serial and end of a certificate.
TlsExpiry expiryOf(X509* certificate, const std::string& what, const std::string& file);

// The texts of OpenSSL's queued errors ("a; b"), emptying the queue.
std::string takeOpenSslErrors();

}  // namespace tqsession::detail
