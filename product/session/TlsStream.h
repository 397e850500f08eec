// One connection's TLS state over its socket (not exported), and how either
// end tells that its peer speaks the other language.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "YxError.h"
#include "session/Security.h"
#include "session/TlsContext.h"

using SSL = struct ssl_st;

namespace tqsession::detail {

// The first bytes of a TLS record (a handshake or an alert) where a frame
// header was expected: the peer speaks TLS.
bool looksLikeTlsRecord(const unsigned char* bytes, size_t count);

// The socket as OpenSSL sees it: sends never block or raise SIGPIPE; a read
// may block under the socket's receive timeout once per TLS call.
struct TlsSocket {
    int fd = -1;
    bool mayBlock = false;
    bool sawEof = false;
    int lastErrno = 0;
    // The first bytes the peer sent, to tell a plain peer.
    unsigned char firstBytes[4] = {};
    size_t firstCount = 0;
};

// One connection's TLS state.
class TlsStream {
public:
    enum class Io { Done, WantRead, WantWrite, Closed, Failed };

    // TLS for `fd` in `role`. A client checks the server's certificate names
    // `host` (an IP literal or a DNS name).
    static bool create(TlsRole role, const Security& security, int fd, const std::string& host,
                       std::unique_ptr<TlsStream>& out, CYxError& error);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    bool established() const { return m_established; }
    TlsRole role() const { return m_role; }
    // One step of the handshake; Failed sets `error`.
    Io handshake(const std::string& peer, CYxError& error);
    // One read of up to `room` bytes; `mayBlock` lets its first socket read
    // wait under the socket's receive timeout.
    Io read(char* into, size_t room, bool mayBlock, const std::string& peer, size_t& got,
            CYxError& error);
    // One write of all of `data` (the same bytes must be offered again after
    // WantRead or WantWrite).
    Io write(const char* data, size_t length, const std::string& peer, CYxError& error);
    // Whether the peer has sent anything without waiting: Done when bytes
    // wait to be read (they stay there), WantRead when nothing has come,
    // Closed after its close_notify, end of stream or reset.
    Io peek(const std::string& peer, CYxError& error);
    // Tell the peer we close (once, without waiting), unless TLS failed.
    void sendCloseNotify();
    // The peer's certificate (what = "peer certificate"); false without one.
    bool peerCertificate(TlsExpiry& out) const;

    // The verification's first complaint: "subject ..., serial ..." of the
    // certificate it refused (set while the handshake checks the peer).
    void noteRefused(X509* certificate);

private:
    TlsStream() = default;
    Io failure(int result, const std::string& peer, bool inHandshake, CYxError& error);

    TlsSocket m_socket;  // referenced by the SSL object's BIO: declared before it
    struct SslDeleter {
        void operator()(SSL* ssl) const;
    };
    std::unique_ptr<SSL, SslDeleter> m_ssl;
    TlsRole m_role = TlsRole::Client;
    std::string m_host;         // the name a client expects in the server's certificate
    std::string m_revocations;  // TQ_TLS_CRL, named when a list fails a check
    std::string m_refused;      // see noteRefused()
    bool m_established = false;
    bool m_failed = false;
    bool m_closeNotified = false;
};

}  // namespace tqsession::detail
