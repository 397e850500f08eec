// The process's TLS contexts (not exported): one per role and set of files,
// built on first use and kept.
#pragma once

#include <string>

#include "Security.h"
#include "YxError.h"

using SSL_CTX = struct ssl_ctx_st;

namespace tqwire::detail {

enum class TlsRole { Client, Server };

// The context of `role` for `security`, built on first use and kept for the
// life of the process (one per role and set of files). False with `error`
// (kSecurity) when the files cannot be used.
bool tlsContext(TlsRole role, const Security& security, SSL_CTX*& out, CYxError& error);

// The texts of OpenSSL's queued errors ("a; b"), emptying the queue.
std::string takeOpenSslErrors();

}  // namespace tqwire::detail
