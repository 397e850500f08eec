// A connection: a socket, its TLS state, its frame reader and whether the
// stream is still in step. After a framing, TLS or socket error the
// connection is broken: it closes its socket and every later call reports
// that error without I/O. A peer that closes at a frame boundary breaks it
// too (kPeerClosed) but the socket stays open until the owner closes it, so a
// server can finish its work before the peer sees the close. A timed-out
// receive keeps the connection; a send that timed out after part of a frame
// went out breaks it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "TqPlatformApi.h"
#include "TqSession.h"
#include "YxError.h"
#include "session/Frame.h"
#include "session/FrameReader.h"
#include "session/HostAddress.h"
#include "session/Security.h"
#include "session/Waits.h"

struct iovec;

namespace tqsession {

class TQ_PLATFORM_API Connection {
public:
    Connection();
    // Closes the socket without waiting.
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Take ownership of a connected stream socket (set to blocking mode, with
    // TCP_NODELAY: receives wait under the socket's receive timeout and sends
    // never block in the call); the current one is closed first. `peer` names
    // it in errors.
    void adopt(int fd, std::string peer);
    // Close the current socket, then resolve and connect to `target` and,
    // with TLS, run the handshake, all within `deadline`. Without TLS only
    // loopback addresses are dialled unless plain TCP is allowed. The first
    // form takes the security of the environment.
    CYxError connect(const HostPort& target, const Deadline& deadline, bool& timedOut);
    CYxError connect(const HostPort& target, const Security& security, const Deadline& deadline,
                     bool& timedOut);
    // Server side of TLS on an adopted socket: the handshake runs in the first
    // send or receive, within its deadline.
    CYxError secureAsServer(const Security& security);

    // For a server that serves the connections yet to say hello in one event
    // loop: each call does what it can without waiting. advanceHandshake runs
    // the TLS handshake (Complete at once without TLS), bufferFrame then reads
    // the next frame (at most `maxBody` bytes of body) into the connection's
    // buffer, so that the next receive returns it without I/O. Failed breaks
    // the connection with `error`.
    // A TLS handshake that failed leaves the socket open and its sending side
    // shut, so that the alert reaches the client before the close (closing
    // over unread bytes would reset the connection and overtake it): the
    // loop then calls drainWithoutWaiting until it is true or a short
    // deadline passes, and closes.
    using Progress = FrameReader::Progress;
    Progress advanceHandshake(CYxError& error);
    Progress bufferFrame(uint32_t maxBody, CYxError& error);
    // Reads and discards what arrived; true once the peer has closed (or the
    // socket failed), and the connection is then closed.
    bool drainWithoutWaiting();
    // How long a refused client is given to close first.
    static constexpr int64_t kRefusalLingerMs = 1000;

    // Whether the peer closed this idle connection: it is attached and in
    // step, nothing unread waits in it, and the socket holds the peer's end
    // of stream, a reset or (over TLS) its close_notify. Never waits; any
    // other TLS failure seen on the way breaks the connection. Looked at only
    // once kIdleBeforeCheck has passed since the last message sent: a peer
    // closes a session a second or more after the last request it received
    // (never sooner than that after it was sent), and a busy stream of sends
    // then costs no system call for it. An answer received since does not
    // restart the wait: the peer's idle clock runs from its last request.
    static constexpr std::chrono::milliseconds kIdleBeforeCheck{1000};
    bool peerClosedWhileIdle();

    bool isOpen() const { return m_fd >= 0; }
    bool isSecure() const { return static_cast<bool>(m_tls); }
    // The peer's TLS certificate (subject, serial, end); false without one.
    bool peerCertificate(TlsExpiry& out) const;
    bool isBroken() const { return m_broken; }
    int fd() const { return m_fd; }
    const std::string& peer() const { return m_peer; }

    // Encode the record of `code` and send it as one frame.
    CYxError sendMessage(uint32_t code, const char* record, unsigned long length,
                         const Deadline& deadline, bool& timedOut);
    // Send a frame whose body is already encoded; `reserved` goes into its
    // header. Also allowed once the peer has closed its side at a frame
    // boundary: that is how a server confirms a client's close.
    CYxError sendFrame(uint32_t code, const char* body, size_t bodyLength, const Deadline& deadline,
                       bool& timedOut, uint16_t reserved = 0);
    // The next frame, undecoded; valid until the next receive.
    CYxError receiveFrame(Frame& out, const Deadline& deadline, bool& timedOut);
    // The next message, decoded into `body` (see decodeBody()). `bodyLength`
    // is its length on the wire.
    CYxError receiveMessage(uint32_t& code, tqsDatabuf_v2& body, uint32_t& bodyLength,
                            const Deadline& deadline, bool& timedOut);

    // Whether the peer confirms a graceful close (agreed in the handshake),
    // and how many messages went out since the handshake.
    void setConfirmsClose(bool confirms) { m_confirmsClose = confirms; }
    bool confirmsClose() const { return m_confirmsClose; }
    uint64_t messagesSent() const { return m_messagesSent; }

    // Stop sending, read until the peer closes or the deadline runs out, then
    // close: the peer gets every frame sent before. When the peer confirms
    // closes, its confirmation must arrive first and count every message
    // sent, all carried out; otherwise the close fails (kPeerClosed when it
    // is missing, kIo when it is short), as it does when the connection broke
    // after messages went out. Without confirmation: success on a connection
    // that is closed or broken. Afterwards it is closed and reusable.
    CYxError closeGracefully(const Deadline& deadline, bool& timedOut);
    // Close at once (after discarding what already arrived, so the close does
    // not turn into a reset) and forget any error.
    void closeNow();

private:
    // adopt() for a socket already in blocking mode.
    void adoptBlocking(int fd, std::string peer);
    // The message path in parts: each returns false with `error` set.
    bool usable(CYxError& error) const;
    bool sendEncoded(uint32_t code, const char* record, unsigned long length,
                     const Deadline& deadline, bool& timedOut, CYxError& error);
    bool sendBuffers(iovec* parts, int count, size_t total, const Deadline& deadline,
                     bool& timedOut, CYxError& error);
    bool sendBuffersTls(iovec* parts, int count, const Deadline& deadline, bool& timedOut,
                        CYxError& error);
    bool secured(const Deadline& deadline, bool& timedOut, CYxError& error);
    void lingerAfterRefusal(const Deadline& deadline);
    bool readFrame(Frame& out, const Deadline& deadline, bool& timedOut, CYxError& error);
    bool halfClosedByPeer() const;
    CYxError awaitCloseConfirmation(const Deadline& deadline, bool& timedOut);
    void breakWith(const CYxError& error);
    void breakKeepingSocket(const CYxError& error);
    void releaseSocket();

    int m_fd = -1;
    std::string m_peer;
    bool m_broken = false;
    CYxError m_breakError;
    std::unique_ptr<detail::TlsStream> m_tls;
    FrameReader m_reader;
    // Kept across a break, so that a close can tell that messages sent on
    // the broken connection were never confirmed; cleared by closeNow().
    bool m_confirmsClose = false;
    uint64_t m_messagesSent = 0;
    // When the connection was made or a message last went out (read from the
    // vDSO clock).
    std::chrono::steady_clock::time_point m_lastSent;
};

// Accept one connection on `listenFd` within `deadline` into `out`; with TLS
// the connection is secured as a server (the handshake runs in its first
// receive or send). The first form takes the security of the environment.
TQ_PLATFORM_API CYxError acceptConnection(int listenFd, const Deadline& deadline, bool& timedOut,
                                          Connection& out);
TQ_PLATFORM_API CYxError acceptConnection(int listenFd, const Security& security,
                                          const Deadline& deadline, bool& timedOut,
                                          Connection& out);

}  // namespace tqsession
