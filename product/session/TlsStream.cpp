// One connection's TLS over its socket, through a BIO of our own: sends use
// MSG_NOSIGNAL | MSG_DONTWAIT (a closed peer never raises SIGPIPE, a send
// never blocks), reads wait under the socket's receive timeout at most once
// per call, so that every wait stays bounded by the caller's deadline.
#include "session/TlsStream.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "session/Errors.h"
#include "session/Frame.h"
#include "session/Sockets.h"

namespace tqsession::detail {

namespace {

TlsSocket& socketOf(BIO* bio) { return *static_cast<TlsSocket*>(BIO_get_data(bio)); }

// A socket call that moved nothing: OpenSSL is told to retry when the socket
// would block, else the failure is kept for the error text.
int noTransfer(BIO* bio, TlsSocket& socket, bool reading) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
        socket.lastErrno = errno;
    } else if (reading) {
        BIO_set_retry_read(bio);
    } else {
        BIO_set_retry_write(bio);
    }
    return 0;
}

int bioWrite(BIO* bio, const char* data, size_t length, size_t* written) {
    TlsSocket& socket = socketOf(bio);
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t sent = ::send(socket.fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) {
            *written = static_cast<size_t>(sent);
            return 1;
        }
        if (errno != EINTR) {
            return noTransfer(bio, socket, false);
        }
    }
}

void rememberFirstBytes(TlsSocket& socket, const char* data, size_t count) {
    while (socket.firstCount < sizeof socket.firstBytes && count > 0) {
        socket.firstBytes[socket.firstCount++] = static_cast<unsigned char>(*data++);
        --count;
    }
}

int bioRead(BIO* bio, char* into, size_t room, size_t* got) {
    TlsSocket& socket = socketOf(bio);
    BIO_clear_retry_flags(bio);
    for (;;) {
        // Only the first read of a TLS call may wait: the next one would wait
        // a whole timeout again.
        const int flags = socket.mayBlock ? 0 : MSG_DONTWAIT;
        socket.mayBlock = false;
        const ssize_t count = ::recv(socket.fd, into, room, flags);
        if (count > 0) {
            rememberFirstBytes(socket, into, static_cast<size_t>(count));
            *got = static_cast<size_t>(count);
            return 1;
        }
        if (count == 0) {
            socket.sawEof = true;
            return 0;
        }
        if (errno != EINTR) {
            return noTransfer(bio, socket, true);
        }
    }
}

long bioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* socketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tqsession socket");
        if (made != nullptr) {
            BIO_meth_set_write_ex(made, bioWrite);
            BIO_meth_set_read_ex(made, bioRead);
            BIO_meth_set_ctrl(made, bioControl);
            BIO_meth_set_create(made, bioCreate);
        }
        return made;
    }();
    return method;
}

bool isIpLiteral(const std::string& host) {
    in6_addr scratch{};
    return ::inet_pton(AF_INET, host.c_str(), &scratch) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), &scratch) == 1;
}

// The client checks that the server's certificate names `host` in its
// subjectAltName. The common name never stands in for it: the cell's
// authority signs host certificates too, whose common names are free, and
// none of them may pass for a CI server.
bool expectName(SSL* ssl, const std::string& host) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    if (isIpLiteral(host)) {
        return X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
    }
    return SSL_set1_host(ssl, host.c_str()) == 1 &&
           SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
}

bool isNameMismatch(long verified) {
    return verified == X509_V_ERR_HOSTNAME_MISMATCH || verified == X509_V_ERR_IP_ADDRESS_MISMATCH;
}

// What is wrong with TQ_TLS_CRL when a check of the peer's certificate
// failed on a revocation list; empty when the failure is not the list's.
std::string listProblem(long verified) {
    switch (verified) {
        case X509_V_ERR_CRL_HAS_EXPIRED:
            return "the list is past its next update, nobody is accepted until a new one is "
                   "read (openssl ca -gencrl)";
        case X509_V_ERR_UNABLE_TO_GET_CRL: return "it holds no list of the certificate's authority";
        case X509_V_ERR_CRL_NOT_YET_VALID:
        case X509_V_ERR_CRL_SIGNATURE_FAILURE:
        case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
        case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
        case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
        case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER: return "its list cannot be used";
        default: return std::string();
    }
}

// Remembers which certificate the verification refused, for the error text.
int rememberRefusal(int ok, X509_STORE_CTX* store) {
    if (ok == 1) {
        return ok;
    }
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* stream = ssl != nullptr ? static_cast<TlsStream*>(SSL_get_app_data(ssl)) : nullptr;
    X509* certificate = X509_STORE_CTX_get_current_cert(store);
    if (stream != nullptr && certificate != nullptr) {
        stream->noteRefused(certificate);
    }
    return ok;
}

// Whether the peer's first bytes were the magic of a plain frame.
bool sentPlainFrame(const TlsSocket& socket) {
    unsigned char header[kFrameHeaderSize];
    encodeFrameHeader(0, 0, header);
    return socket.firstCount == sizeof socket.firstBytes &&
           std::memcmp(socket.firstBytes, header, sizeof socket.firstBytes) == 0;
}

// A plain peer is told in a TLS alert record (fatal, protocol_version): a
// plain reader recognises the record and reports that its peer speaks TLS.
void sendPlainPeerAlert(int fd) {
    static constexpr unsigned char kAlert[] = {0x15, 0x03, 0x03, 0x00, 0x02, 0x02, 0x46};
    ::send(fd, kAlert, sizeof kAlert, MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool isEndOfStream(int sslError) {
    if (sslError == SSL_ERROR_SYSCALL) {
        return true;
    }
    const unsigned long queued = ERR_peek_error();
    return ERR_GET_LIB(queued) == ERR_LIB_SSL &&
           ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

}  // namespace

bool looksLikeTlsRecord(const unsigned char* bytes, size_t count) {
    constexpr unsigned char kHandshakeRecord = 0x16;
    constexpr unsigned char kAlertRecord = 0x15;
    constexpr unsigned char kMajorVersion = 0x03;
    return count >= 2 && (bytes[0] == kHandshakeRecord || bytes[0] == kAlertRecord) &&
           bytes[1] == kMajorVersion;
}

void TlsStream::SslDeleter::operator()(SSL* ssl) const { SSL_free(ssl); }

TlsStream::~TlsStream() = default;

bool TlsStream::create(TlsRole role, const Security& security, int fd, const std::string& host,
                       std::unique_ptr<TlsStream>& out, CYxError& error) {
    ContextPtr context;
    if (!acquireTlsContext(role, security, context, error)) {
        return false;
    }
    ERR_clear_error();
    std::unique_ptr<TlsStream> stream(new TlsStream);
    stream->m_socket.fd = fd;
    stream->m_role = role;
    stream->m_revocations = security.revocations;
    stream->m_ssl.reset(SSL_new(context.get()));
    BIO* bio = stream->m_ssl ? BIO_new(socketMethod()) : nullptr;
    if (bio == nullptr) {
        error = makeError(tqerr::kNoMemory, "cannot set up TLS: " + takeOpenSslErrors());
        return false;
    }
    BIO_set_data(bio, &stream->m_socket);
    SSL* ssl = stream->m_ssl.get();
    SSL_set_bio(ssl, bio, bio);
    SSL_set_app_data(ssl, stream.get());
    SSL_set_verify(ssl, SSL_get_verify_mode(ssl), rememberRefusal);
    if (role == TlsRole::Client) {
        stream->m_host = host;
        if (!expectName(ssl, host)) {
            error = makeError(tqerr::kSecurity, "cannot check the certificate of \"" + host +
                                                    "\": " + takeOpenSslErrors());
            return false;
        }
        SSL_set_connect_state(ssl);
    } else {
        SSL_set_accept_state(ssl);
    }
    out = std::move(stream);
    return true;
}

void TlsStream::noteRefused(X509* certificate) {
    if (m_refused.empty()) {
        m_refused = describeCertificate(certificate);
    }
}

bool TlsStream::peerCertificate(TlsExpiry& out) const {
    X509* peer = SSL_get0_peer_certificate(m_ssl.get());
    if (peer == nullptr) {
        return false;
    }
    out = expiryOf(peer, "peer certificate", std::string());
    return true;
}

TlsStream::Io TlsStream::handshake(const std::string& peer, CYxError& error) {
    ERR_clear_error();
    m_socket.mayBlock = false;
    const int result = SSL_do_handshake(m_ssl.get());
    if (result == 1) {
        m_established = true;
        return Io::Done;
    }
    return failure(result, peer, true, error);
}

TlsStream::Io TlsStream::read(char* into, size_t room, bool mayBlock, const std::string& peer,
                              size_t& got, CYxError& error) {
    ERR_clear_error();
    m_socket.mayBlock = mayBlock;
    size_t count = 0;
    const int result = SSL_read_ex(m_ssl.get(), into, room, &count);
    m_socket.mayBlock = false;
    if (result == 1) {
        got = count;
        return Io::Done;
    }
    return failure(result, peer, false, error);
}

TlsStream::Io TlsStream::write(const char* data, size_t length, const std::string& peer,
                               CYxError& error) {
    ERR_clear_error();
    size_t written = 0;
    const int result = SSL_write_ex(m_ssl.get(), data, length, &written);
    if (result == 1) {
        return Io::Done;
    }
    return failure(result, peer, false, error);
}

TlsStream::Io TlsStream::peek(const std::string& peer, CYxError& error) {
    ERR_clear_error();
    m_socket.mayBlock = false;
    char byte = 0;
    size_t count = 0;
    const int result = SSL_peek_ex(m_ssl.get(), &byte, 1, &count);
    if (result == 1) {
        return Io::Done;
    }
    return failure(result, peer, false, error);
}

void TlsStream::sendCloseNotify() {
    if (!m_established || m_failed || m_closeNotified) {
        return;
    }
    m_closeNotified = true;
    ERR_clear_error();
    SSL_shutdown(m_ssl.get());
    ERR_clear_error();
}

// Sorts out why a TLS call did not complete: a wait, the peer's close, or a
// failure described for the logs (the peer's alert, the verification result,
// or a peer that does not speak TLS at all).
TlsStream::Io TlsStream::failure(int result, const std::string& peer, bool inHandshake,
                                 CYxError& error) {
    const int sslError = SSL_get_error(m_ssl.get(), result);
    switch (sslError) {
        case SSL_ERROR_WANT_READ: return Io::WantRead;
        case SSL_ERROR_WANT_WRITE: return Io::WantWrite;
        case SSL_ERROR_ZERO_RETURN: return Io::Closed;
        default: break;
    }
    m_failed = true;
    const bool endOfStream = isEndOfStream(sslError);
    const std::string reasons = takeOpenSslErrors();
    if (sentPlainFrame(m_socket)) {
        sendPlainPeerAlert(m_socket.fd);
        error =
            makeError(tqerr::kSecurity, "peer does not speak TLS: " + peer + " sent a plain frame");
        return Io::Failed;
    }
    const bool peerGone = m_socket.sawEof || isPeerGone(m_socket.lastErrno);
    if (endOfStream && peerGone) {
        if (!inHandshake) {
            return Io::Closed;
        }
        error =
            makeError(tqerr::kSecurity, m_socket.firstCount == 0
                                            ? "peer does not speak TLS: " + peer +
                                                  " closed the connection during the TLS handshake"
                                            : "TLS handshake with " + peer +
                                                  " failed: the peer closed the connection");
        return Io::Failed;
    }
    if (endOfStream && m_socket.lastErrno != 0) {
        error = errnoError(tqerr::kIo, "TLS connection failed", peer, m_socket.lastErrno);
        return Io::Failed;
    }
    std::string text = (inHandshake ? "TLS handshake with " + peer + " failed: "
                                    : "TLS failure with " + peer + ": ") +
                       (reasons.empty() ? "unknown TLS error" : reasons);
    const long verified = SSL_get_verify_result(m_ssl.get());
    if (isNameMismatch(verified)) {
        text += std::string(" (") + X509_verify_cert_error_string(verified) +
                ": no subjectAltName of the server's certificate names " + m_host +
                "; its common name is never used)";
    } else if (verified != X509_V_OK) {
        const std::string list = listProblem(verified);
        text += std::string(" (") + X509_verify_cert_error_string(verified) +
                (m_refused.empty() ? "" : ": " + m_refused) +
                (list.empty() || m_revocations.empty()
                     ? ""
                     : "; " + std::string(kTlsCrlVariable) + " " + m_revocations + ": " + list) +
                ")";
    }
    error = makeError(tqerr::kSecurity, text);
    return Io::Failed;
}

}  // namespace tqsession::detail
