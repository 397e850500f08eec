// A connection: sending and receiving whole frames, breaking on stream
// errors, and closing without losing what was sent.
#include "session/Connection.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "common/ProtocolNames.h"
#include "session/Errors.h"
#include "session/Handshake.h"
#include "session/Sockets.h"
#include "session/TlsContext.h"
#include "session/TlsStream.h"
#include "session/XdrCodecs.h"

namespace tqsession {

using detail::errnoError;
using detail::guarded;
using detail::makeError;

namespace {

// Frames up to this size are built on the stack: every record but a long
// erase path or a large opaque message fits.
constexpr size_t kStackFrameSize = 4096;
// Size of the scratch buffer for bytes read only to be discarded.
constexpr size_t kDiscardChunk = 4096;
// How long a server keeps a connection whose TLS handshake it refused open,
// so that the client reads the alert saying why rather than a reset.
// Reads discarded when closing at once: enough to empty the receive queue (so
// the close is not turned into a reset that would drop data the peer has yet
// to read), bounded so a flooding peer cannot hold the close up.
constexpr int kMaxDiscardReads = 64;

// Drops the first `count` bytes from the buffers `parts[0..partCount)`.
void advanceBuffers(iovec*& parts, int& partCount, size_t count) {
    while (partCount > 0 && count >= parts->iov_len) {
        count -= parts->iov_len;
        ++parts;
        --partCount;
    }
    if (partCount > 0) {
        parts->iov_base = static_cast<char*>(parts->iov_base) + count;
        parts->iov_len -= count;
    }
}

// One send of as much of `parts` as the socket takes now. A peer that went
// away must not raise SIGPIPE in the host process.
ssize_t sendSome(int fd, iovec* parts, int count) {
    constexpr int kFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
    if (count == 1) {
        return ::send(fd, parts->iov_base, parts->iov_len, kFlags);
    }
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(count);
    return ::sendmsg(fd, &message, kFlags);
}

// Reads and discards until the peer closes or the deadline runs out.
CYxError drainUntilPeerCloses(int fd, const std::string& peer, const Deadline& deadline,
                              bool& timedOut) {
    char scratch[kDiscardChunk];
    for (;;) {
        switch (detail::waitReady(fd, POLLIN, deadline)) {
            case detail::Readiness::TimedOut:
                timedOut = true;
                return makeError(tqerr::kTimedOut, "timed out waiting for " + peer + " to close");
            case detail::Readiness::Failed:
                return errnoError(tqerr::kIo, "cannot wait for close of", peer, errno);
            case detail::Readiness::Ready: break;
        }
        const ssize_t got = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (got == 0) {
            return CYxError();
        }
        if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            const int32_t code = detail::isPeerGone(errno) ? tqerr::kPeerClosed : tqerr::kIo;
            return errnoError(code, "connection lost while closing", peer, errno);
        }
    }
}

}  // namespace

Connection::Connection() = default;

Connection::~Connection() { releaseSocket(); }

void Connection::adopt(int fd, std::string peer) {
    // Receives wait in recv() under a timeout; sends never block in the call.
    detail::setBlocking(fd);
    adoptBlocking(fd, std::move(peer));
}

void Connection::adoptBlocking(int fd, std::string peer) {
    closeNow();
    detail::setNoDelay(fd);
    m_fd = fd;
    m_peer = std::move(peer);
    m_lastSent = std::chrono::steady_clock::now();
}

CYxError Connection::connect(const HostPort& target, const Deadline& deadline, bool& timedOut) {
    return connect(target, securityFromEnvironment(), deadline, timedOut);
}

CYxError Connection::connect(const HostPort& target, const Security& security,
                             const Deadline& deadline, bool& timedOut) {
    return guarded([&] {
        closeNow();
        const bool tls = security.tlsEnabled();
        // The client's context first: bad files fail before any connection.
        SSL_CTX* context = nullptr;
        CYxError result;
        if (tls && !detail::tlsContext(detail::TlsRole::Client, security, context, result)) {
            return result;
        }
        int fd = -1;
        std::string peer;
        result = detail::connectTcp(target, security.loopbackOnly(), detail::SocketMode::Blocking,
                                    deadline, timedOut, fd, peer);
        if (result.IsError()) {
            return result;
        }
        adoptBlocking(fd, std::move(peer));
        if (!tls) {
            return result;
        }
        if (!detail::TlsStream::create(detail::TlsRole::Client, security, m_fd, target.host, m_tls,
                                       result)) {
            closeNow();
            return result;
        }
        m_reader.readThrough(m_tls.get());
        if (!secured(deadline, timedOut, result)) {
            closeNow();
        }
        return result;
    });
}

CYxError Connection::secureAsServer(const Security& security) {
    return guarded([&] {
        CYxError result;
        if (!usable(result)) {
            return result;
        }
        if (!detail::TlsStream::create(detail::TlsRole::Server, security, m_fd, std::string(),
                                       m_tls, result)) {
            breakWith(result);
            return result;
        }
        m_reader.readThrough(m_tls.get());
        return result;
    });
}

// The client may still be sending when the server refuses it; closing at once
// would answer that with a reset that can overtake the alert. So stop
// sending and wait (briefly) for the client to close first.
void Connection::lingerAfterRefusal(const Deadline& deadline) {
    const Deadline linger =
        Deadline::afterMs(std::min<int64_t>(deadline.pollTimeoutMs(), kRefusalLingerMs));
    ::shutdown(m_fd, SHUT_WR);
    bool expired = false;
    drainUntilPeerCloses(m_fd, m_peer, linger, expired);
}

// Runs the TLS handshake to its end unless it is done already. A handshake
// cut by the deadline resumes in the next call.
bool Connection::secured(const Deadline& deadline, bool& timedOut, CYxError& error) {
    if (!m_tls || m_tls->established()) {
        return true;
    }
    for (;;) {
        short awaited = POLLIN;
        switch (m_tls->handshake(m_peer, error)) {
            case detail::TlsStream::Io::Done: return true;
            case detail::TlsStream::Io::WantRead: break;
            case detail::TlsStream::Io::WantWrite: awaited = POLLOUT; break;
            case detail::TlsStream::Io::Closed:
                error = makeError(tqerr::kPeerClosed,
                                  "peer closed the connection during the TLS handshake: " + m_peer);
                breakWith(error);
                return false;
            case detail::TlsStream::Io::Failed:
                if (m_tls->role() == detail::TlsRole::Server) {
                    lingerAfterRefusal(deadline);
                }
                breakWith(error);
                return false;
        }
        switch (detail::waitReady(m_fd, awaited, deadline)) {
            case detail::Readiness::TimedOut:
                timedOut = true;
                error =
                    makeError(tqerr::kTimedOut, "timed out in the TLS handshake with " + m_peer);
                return false;
            case detail::Readiness::Failed:
                error = errnoError(tqerr::kIo, "TLS handshake failed", m_peer, errno);
                breakWith(error);
                return false;
            case detail::Readiness::Ready: break;
        }
    }
}

bool Connection::peerCertificate(TlsExpiry& out) const {
    return m_tls && m_tls->peerCertificate(out);
}

bool Connection::usable(CYxError& error) const {
    if (m_broken) {
        error = makeError(m_breakError.Code(),
                          "session broken by an earlier error: " + m_breakError.AsString());
        return false;
    }
    if (m_fd < 0) {
        error = makeError(tqerr::kNotAttached, "session is not attached");
        return false;
    }
    return true;
}

Connection::Progress Connection::advanceHandshake(CYxError& error) {
    Progress progress = Progress::Failed;
    error = guarded([&] {
        CYxError failure;
        if (!usable(failure)) {
            return failure;
        }
        if (!m_tls || m_tls->established()) {
            progress = Progress::Complete;
            return failure;
        }
        switch (m_tls->handshake(m_peer, failure)) {
            case detail::TlsStream::Io::Done: progress = Progress::Complete; return failure;
            case detail::TlsStream::Io::WantRead: progress = Progress::WantRead; return failure;
            case detail::TlsStream::Io::WantWrite: progress = Progress::WantWrite; return failure;
            case detail::TlsStream::Io::Closed:
                failure =
                    makeError(tqerr::kPeerClosed,
                              "peer closed the connection during the TLS handshake: " + m_peer);
                breakWith(failure);
                return failure;
            case detail::TlsStream::Io::Failed: break;
        }
        ::shutdown(m_fd, SHUT_WR);
        breakKeepingSocket(failure);
        return failure;
    });
    return error.IsError() ? Progress::Failed : progress;
}

bool Connection::drainWithoutWaiting() {
    if (m_fd < 0) {
        return true;
    }
    char scratch[kDiscardChunk];
    for (;;) {
        const ssize_t got = ::recv(m_fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (got > 0) {
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return false;
        }
        closeNow();
        return true;
    }
}

Connection::Progress Connection::bufferFrame(uint32_t maxBody, CYxError& error) {
    Progress progress = Progress::Failed;
    error = guarded([&] {
        CYxError failure;
        if (!usable(failure)) {
            return failure;
        }
        progress = m_reader.readAvailable(m_fd, m_peer, maxBody, failure);
        if (progress == Progress::Failed) {
            breakWith(failure);
        }
        return failure;
    });
    return error.IsError() ? Progress::Failed : progress;
}

// A server may close a connection that stays idle; a client learns it here,
// before its next send, rather than from a send that vanishes or a receive
// that fails. Unread bytes mean something is in flight: that is left to the
// next receive.
bool Connection::peerClosedWhileIdle() {
    if (m_fd < 0 || m_broken || !m_reader.atFrameBoundary()) {
        return false;
    }
    if (std::chrono::steady_clock::now() - m_lastSent < kIdleBeforeCheck) {
        return false;
    }
    if (m_tls) {
        if (!m_tls->established()) {
            return false;
        }
        CYxError error;
        switch (m_tls->peek(m_peer, error)) {
            case detail::TlsStream::Io::Closed: return true;
            case detail::TlsStream::Io::Failed: breakWith(error); return false;
            default: return false;
        }
    }
    for (;;) {
        char byte = 0;
        const ssize_t got = ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (got >= 0) {
            return got == 0;
        }
        if (errno != EINTR) {
            return detail::isPeerGone(errno);
        }
    }
}

void Connection::breakWith(const CYxError& error) {
    releaseSocket();
    m_broken = true;
    m_breakError = error;
}

void Connection::breakKeepingSocket(const CYxError& error) {
    m_broken = true;
    m_breakError = error;
}

void Connection::releaseSocket() {
    if (m_tls) {
        m_tls->sendCloseNotify();
    }
    if (m_fd >= 0) {
        char scratch[kDiscardChunk];
        for (int read = 0; read < kMaxDiscardReads; ++read) {
            if (::recv(m_fd, scratch, sizeof scratch, MSG_DONTWAIT) <= 0) {
                break;
            }
        }
        ::close(m_fd);
        m_fd = -1;
    }
    m_reader.clear();
    m_tls.reset();
}

void Connection::closeNow() {
    releaseSocket();
    m_broken = false;
    m_breakError = CYxError();
    m_confirmsClose = false;
    m_messagesSent = 0;
}

bool Connection::halfClosedByPeer() const {
    return m_broken && m_fd >= 0 && m_reader.peerClosedAtBoundary();
}

// Sends every byte of `parts` or breaks the connection: once part of a frame
// is out, the stream can only continue with the rest of it.
bool Connection::sendBuffers(iovec* parts, int count, size_t total, const Deadline& deadline,
                             bool& timedOut, CYxError& error) {
    if (m_tls) {
        return sendBuffersTls(parts, count, deadline, timedOut, error);
    }
    size_t sent = 0;
    while (sent < total) {
        const ssize_t written = sendSome(m_fd, parts, count);
        if (written > 0) {
            sent += static_cast<size_t>(written);
            advanceBuffers(parts, count, static_cast<size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            const int32_t code = detail::isPeerGone(errno) ? tqerr::kPeerClosed : tqerr::kIo;
            error = errnoError(code, "cannot send to", m_peer, errno);
            breakWith(error);
            return false;
        }
        if (!detail::awaitTransfer(m_fd, POLLOUT, deadline, "sending to", "cannot send to", m_peer,
                                   timedOut, error)) {
            // A send that timed out before any byte went out leaves the stream in step.
            if (error.Code() != tqerr::kTimedOut || sent > 0) {
                breakWith(error);
            }
            return false;
        }
    }
    return true;
}

// Each part goes out as TLS records. OpenSSL keeps a record it could not
// hand to the socket and must be offered the same bytes again, so over TLS a
// send cut by its deadline always breaks the connection.
bool Connection::sendBuffersTls(iovec* parts, int count, const Deadline& deadline, bool& timedOut,
                                CYxError& error) {
    if (!secured(deadline, timedOut, error)) {
        return false;
    }
    for (int part = 0; part < count; ++part) {
        const char* data = static_cast<const char*>(parts[part].iov_base);
        const size_t length = parts[part].iov_len;
        bool written = length == 0;
        while (!written) {
            short awaited = POLLOUT;
            switch (m_tls->write(data, length, m_peer, error)) {
                case detail::TlsStream::Io::Done: written = true; continue;
                case detail::TlsStream::Io::WantWrite: break;
                case detail::TlsStream::Io::WantRead: awaited = POLLIN; break;
                case detail::TlsStream::Io::Closed:
                    error = makeError(tqerr::kPeerClosed, "cannot send to " + m_peer +
                                                              ": the peer closed the connection");
                    breakWith(error);
                    return false;
                case detail::TlsStream::Io::Failed: breakWith(error); return false;
            }
            if (!detail::awaitTransfer(m_fd, awaited, deadline, "sending to", "cannot send to",
                                       m_peer, timedOut, error)) {
                breakWith(error);
                return false;
            }
        }
    }
    return true;
}

bool Connection::sendEncoded(uint32_t code, const char* record, unsigned long length,
                             const Deadline& deadline, bool& timedOut, CYxError& error) {
    size_t bodyLength = 0;
    if (!usable(error)) {
        return false;
    }
    error = measureBody(code, record, length, bodyLength);
    if (error.IsError()) {
        return false;
    }
    // Header and body go out in one write.
    const size_t frameLength = kFrameHeaderSize + bodyLength;
    alignas(8) char stackFrame[kStackFrameSize];
    std::unique_ptr<char[]> heapFrame;
    char* frame = stackFrame;
    if (frameLength > sizeof stackFrame) {
        heapFrame.reset(new char[frameLength]);
        frame = heapFrame.get();
    }
    encodeFrameHeader(code, static_cast<uint32_t>(bodyLength),
                      reinterpret_cast<unsigned char*>(frame));
    error = encodeBody(code, record, length, frame + kFrameHeaderSize, bodyLength);
    if (error.IsError()) {
        return false;
    }
    iovec part{frame, frameLength};
    return sendBuffers(&part, 1, frameLength, deadline, timedOut, error);
}

CYxError Connection::sendMessage(uint32_t code, const char* record, unsigned long length,
                                 const Deadline& deadline, bool& timedOut) {
    return guarded([&] {
        CYxError error;
        if (sendEncoded(code, record, length, deadline, timedOut, error)) {
            ++m_messagesSent;
            m_lastSent = std::chrono::steady_clock::now();
        }
        return error;
    });
}

CYxError Connection::sendFrame(uint32_t code, const char* body, size_t bodyLength,
                               const Deadline& deadline, bool& timedOut, uint16_t reserved) {
    return guarded([&] {
        CYxError error;
        if (!halfClosedByPeer() && !usable(error)) {
            return error;
        }
        if (bodyLength > kMaxBodyLength) {
            return makeError(tqerr::kFrameTooLarge,
                             "frame of message " + tqcommon::hexCode(code) +
                                 " too large: " + std::to_string(bodyLength) + " bytes");
        }
        if (body == nullptr && bodyLength > 0) {
            return makeError(tqerr::kInvalidArgument, "frame without a body");
        }
        unsigned char header[kFrameHeaderSize];
        encodeFrameHeader(code, static_cast<uint32_t>(bodyLength), header, reserved);
        iovec parts[2] = {{header, sizeof header}, {const_cast<char*>(body), bodyLength}};
        sendBuffers(parts, bodyLength > 0 ? 2 : 1, sizeof header + bodyLength, deadline, timedOut,
                    error);
        return error;
    });
}

bool Connection::readFrame(Frame& out, const Deadline& deadline, bool& timedOut, CYxError& error) {
    if (!usable(error) || !secured(deadline, timedOut, error)) {
        return false;
    }
    bool expired = false;
    if (m_reader.read(m_fd, m_peer, deadline, expired, out, error)) {
        return true;
    }
    if (expired) {
        // The reader keeps a partial frame; the stream is still in step.
        timedOut = true;
    } else if (m_reader.peerClosedAtBoundary()) {
        // The owner closes: a server finishes its work before the peer
        // sees the close.
        breakKeepingSocket(error);
    } else {
        breakWith(error);
    }
    return false;
}

CYxError Connection::receiveFrame(Frame& out, const Deadline& deadline, bool& timedOut) {
    return guarded([&] {
        CYxError error;
        readFrame(out, deadline, timedOut, error);
        return error;
    });
}

CYxError Connection::receiveMessage(uint32_t& code, tqsDatabuf_v2& body, uint32_t& bodyLength,
                                    const Deadline& deadline, bool& timedOut) {
    return guarded([&] {
        CYxError error;
        Frame frame;
        if (!readFrame(frame, deadline, timedOut, error)) {
            return error;
        }
        // A body that does not decode was still a whole frame: the stream stays in step.
        error = decodeBody(frame.code, frame.body, frame.bodyLength, body);
        if (!error.IsError()) {
            code = frame.code;
            bodyLength = frame.bodyLength;
        }
        return error;
    });
}

CYxError Connection::closeGracefully(const Deadline& deadline, bool& timedOut) {
    return guarded([&] {
        if (m_broken && m_confirmsClose && m_messagesSent > 0) {
            // The connection broke (or the peer ended it) after messages went
            // out: they were never confirmed.
            const std::string why = m_breakError.AsString();
            const uint64_t unconfirmed = m_messagesSent;
            closeNow();
            return makeError(tqerr::kPeerClosed, "connection ended before " +
                                                     std::to_string(unconfirmed) +
                                                     " messages sent were confirmed (" + why +
                                                     "): they may not have been carried out");
        }
        if (m_fd < 0 || m_broken) {
            // Never connected, or broken.
            closeNow();
            return CYxError();
        }
        if (m_tls) {
            m_tls->sendCloseNotify();
        }
        ::shutdown(m_fd, SHUT_WR);
        CYxError result;
        if (m_confirmsClose) {
            result = awaitCloseConfirmation(deadline, timedOut);
        } else {
            m_reader.discardBuffered();
            result = drainUntilPeerCloses(m_fd, m_peer, deadline, timedOut);
        }
        closeNow();
        return result;
    });
}

// Reads until the peer closes: its confirmation comes first, counting what it
// received and what it could not carry out. Other frames (an answer that came
// after its receive gave up) are passed over.
CYxError Connection::awaitCloseConfirmation(const Deadline& deadline, bool& timedOut) {
    bool confirmed = false;
    CloseConfirmation confirmation;
    for (;;) {
        Frame frame;
        CYxError error;
        if (!readFrame(frame, deadline, timedOut, error)) {
            if (timedOut) {
                return makeError(tqerr::kTimedOut,
                                 "timed out waiting for " + m_peer + " to confirm the close");
            }
            if (!m_reader.peerClosedAtBoundary()) {
                return error;
            }
            break;
        }
        if (frame.code == kCloseConfirmCode) {
            error = decodeCloseConfirmation(frame.body, frame.bodyLength, confirmation);
            if (error.IsError()) {
                return error;
            }
            confirmed = true;
        }
    }
    const std::string sent = std::to_string(m_messagesSent) + " messages sent";
    if (!confirmed) {
        return makeError(tqerr::kPeerClosed, m_peer + " closed without confirming the " + sent +
                                                 ": they may not have been carried out");
    }
    if (confirmation.received < m_messagesSent || confirmation.notCarriedOut > 0) {
        return makeError(tqerr::kIo, m_peer + " confirmed " +
                                         std::to_string(confirmation.received) + " of the " + sent +
                                         ", " + std::to_string(confirmation.notCarriedOut) +
                                         " not carried out");
    }
    return CYxError();
}

CYxError acceptConnection(int listenFd, const Deadline& deadline, bool& timedOut, Connection& out) {
    return acceptConnection(listenFd, securityFromEnvironment(), deadline, timedOut, out);
}

CYxError acceptConnection(int listenFd, const Security& security, const Deadline& deadline,
                          bool& timedOut, Connection& out) {
    return guarded([&] {
        for (;;) {
            switch (detail::waitReady(listenFd, POLLIN, deadline)) {
                case detail::Readiness::TimedOut:
                    timedOut = true;
                    return makeError(tqerr::kTimedOut, "timed out waiting for a connection");
                case detail::Readiness::Failed:
                    return errnoError(tqerr::kIo, "cannot wait for a connection", "", errno);
                case detail::Readiness::Ready: break;
            }
            sockaddr_storage address{};
            socklen_t length = sizeof address;
            detail::UniqueFd accepted(::accept4(listenFd, reinterpret_cast<sockaddr*>(&address),
                                                &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (accepted.valid()) {
                std::string peer =
                    detail::formatAddress(reinterpret_cast<sockaddr*>(&address), length);
                out.adopt(accepted.release(), std::move(peer));
                return security.tlsEnabled() ? out.secureAsServer(security) : CYxError();
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED) {
                return errnoError(tqerr::kIo, "cannot accept a connection", "", errno);
            }
        }
    });
}

}  // namespace tqsession
