// The session protocol, usable from both ends of a connection: frame layout,
// waits, socket I/O with deadlines, the XDR codecs of the message records and
// the attach handshake. CTqNetwork is built on it; a server speaks the same
// protocol by using it too. docs/SESSION.md describes the bytes on the wire.
//
// Every call reports through a CYxError and never throws; calls that wait take
// a Deadline and set `timedOut` when it ran out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "TqPlatformApi.h"
#include "TqSession.h"
#include "YxError.h"

#define TQWIRE_API TQ_PLATFORM_API

struct iovec;

namespace tqwire {

namespace detail {
class TlsStream;
}  // namespace detail

// ---------------------------------------------------------------------------
// Frames: a 16-byte header in network byte order, then the XDR body.
//   u32 magic | u16 version | u16 reserved (0) | u32 message code | u32 body length
// ---------------------------------------------------------------------------
constexpr uint32_t kFrameMagic = 0x54515357;  // "TQSW"
constexpr uint16_t kFrameVersion = 1;
constexpr size_t kFrameHeaderSize = 16;
// Largest body accepted in either direction: 1 MiB of payload plus room for
// its XDR framing.
constexpr uint32_t kMaxBodyLength = (1u << 20) + 1024;

constexpr uint16_t kDefaultPort = 8403;

struct FrameHeader {
    uint32_t magic = 0;
    uint16_t version = 0;
    uint16_t reserved = 0;
    uint32_t code = 0;
    uint32_t bodyLength = 0;
};

// Writes the header of a frame of `code` with a body of `bodyLength` bytes to
// `out` (kFrameHeaderSize bytes).
TQWIRE_API void encodeFrameHeader(uint32_t code, uint32_t bodyLength, unsigned char* out);
// Reads kFrameHeaderSize bytes. kProtocol for a wrong magic or version,
// kFrameTooLarge for a body above kMaxBodyLength.
TQWIRE_API CYxError decodeFrameHeader(const unsigned char* in, FrameHeader& out);

// ---------------------------------------------------------------------------
// Waits. A wait counts units of TQ_SESSION_WAIT_UNIT_MS milliseconds (1000 by
// default, so waits are seconds); a negative wait selects kDefaultWait.
// ---------------------------------------------------------------------------
constexpr int kDefaultWait = 120;
constexpr int64_t kDefaultWaitUnitMs = 1000;
constexpr const char kWaitUnitVariable[] = "TQ_SESSION_WAIT_UNIT_MS";

// The unit a value of TQ_SESSION_WAIT_UNIT_MS selects: a whole number of
// milliseconds from 1 to 3,600,000; anything else (or null) gives the default.
TQWIRE_API int64_t parseWaitUnitMs(const char* text);
// The process's unit, read from the environment on first use.
TQWIRE_API int64_t waitUnitMs();

class TQWIRE_API Deadline {
public:
    // `wait` units from now (kDefaultWait when negative).
    static Deadline fromWait(int wait);
    static Deadline afterMs(int64_t milliseconds);

    bool expired() const;
    // Milliseconds left, clamped for poll(): 0 once expired.
    int pollTimeoutMs() const;

private:
    explicit Deadline(int64_t atMs) : m_atMs(atMs) {}
    static int64_t nowMs();

    int64_t m_atMs;  // on the coarse monotonic clock: waits are as exact as the scheduler tick
};

// ---------------------------------------------------------------------------
// Security. With TLS configured every connection runs TLS 1.3 and both ends
// present certificates signed by the cell's authority; the client checks that
// the server's certificate names the host it dialled. Without TLS, plain TCP
// is allowed only over loopback unless TQ_ALLOW_PLAINTEXT=1.
// ---------------------------------------------------------------------------
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
};

// The security the environment selects (read at each call).
TQWIRE_API Security securityFromEnvironment();

// ---------------------------------------------------------------------------
// Addresses. A host is "name[:port]"; an IPv6 literal takes brackets when it
// has a port ("[::1]:8403"); without a port kDefaultPort applies.
// ---------------------------------------------------------------------------
struct HostPort {
    std::string host;
    uint16_t port = kDefaultPort;
};

TQWIRE_API CYxError parseHostPort(const char* text, HostPort& out);
// Resolves `target` and connects over IPv4 or IPv6 within `deadline`. On
// success `fd` is a socket in non-blocking mode with TCP_NODELAY and `peer`
// names the address reached ("127.0.0.1:8403", "[::1]:8403").
TQWIRE_API CYxError connectTcp(const HostPort& target, const Deadline& deadline, bool& timedOut,
                               int& fd, std::string& peer);
// A listening socket on `address` (numeric; null: every address) and `port`
// (0: any free port, reported in `boundPort`). Without TLS an address beyond
// loopback is refused (kSecurity) unless plain TCP is allowed; with TLS the
// server's certificate, key and authority are loaded first, so that bad files
// show at once. The first form takes the security of the environment.
TQWIRE_API CYxError listenTcp(const char* address, uint16_t port, int& fd, uint16_t& boundPort);
TQWIRE_API CYxError listenTcp(const char* address, uint16_t port, const Security& security,
                              int& fd, uint16_t& boundPort);

// ---------------------------------------------------------------------------
// Message codecs: records (see TqMessages.h) <-> XDR bodies.
//   0x0E000701 prune request  : hyper cloudId, vornCellNumber, archiveFileId,
//                               auxValue1, auxValue2; int reserved
//   0x0E000703 erase request  : int vornCellNumber, clientId, reserved, appType;
//                               string path; int eraseKind
//   0x0E000704 erase response : opaque[24] uninterpreted; int status; int tail
//   any other code            : opaque<> holding the record's valid bytes
// ---------------------------------------------------------------------------

// Validates the record of `code` at `record` (`length` valid bytes) and
// reports the size of its XDR body.
TQWIRE_API CYxError measureBody(uint32_t code, const char* record, unsigned long length,
                                size_t& bodyLength);
// Writes the body of a record that measureBody() accepted; `out` holds
// exactly `bodyLength` bytes.
TQWIRE_API CYxError encodeBody(uint32_t code, const char* record, unsigned long length, char* out,
                               size_t bodyLength);
// Decodes a received body into `target`. A decoded record of at most
// kMaxInPlaceRecord bytes that fits the valid length of caller memory the
// buffer refers to is written there (that many bytes, no more) and the valid
// length becomes its size; any other goes to memory the buffer owns (the
// memory of an earlier receive when the new form fits it, else new memory).
// A decoded erase request is the 32-byte record followed by the path and its
// NUL, the record's `path` pointing at that copy. kProtocol for a malformed
// body, which leaves `target` untouched.
TQWIRE_API CYxError decodeBody(uint32_t code, const char* body, size_t bodyLength,
                               tqsDatabuf_v2& target);
// Caller memory can be handed over with a length that overstates it (an
// erase request's length counts its separate path), so only records no
// larger than the smallest record are written into it.
constexpr size_t kMaxInPlaceRecord = 32;

// ---------------------------------------------------------------------------
// Reading whole frames from a socket. A blocking socket waits inside recv()
// under its receive timeout (set by the reader); a non-blocking one is polled.
// ---------------------------------------------------------------------------
struct Frame {
    uint32_t code = 0;
    const char* body = nullptr;
    uint32_t bodyLength = 0;
};

class TQWIRE_API FrameReader {
public:
    static constexpr size_t kBufferSize = size_t{16} * 1024;

    FrameReader();
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Forget every buffered byte (for a new connection).
    void clear();
    // Reads through `tls` (null: straight from the socket) from now on.
    void readThrough(detail::TlsStream* tls) { m_tls = tls; }
    // Whether the last failed read saw the peer close at a frame boundary.
    bool peerClosedAtBoundary() const { return m_peerClosedAtBoundary; }
    // Whether no byte beyond the frame last returned is buffered.
    bool atFrameBoundary() const { return !m_haveHeader && buffered() == m_returnedBytes; }
    // Reads the next whole frame from `fd` into `out`; its body stays valid
    // until the next call or clear(). False with `error` set on failure. When
    // the deadline runs out the bytes read so far are kept for the next call;
    // after any other failure the stream is out of step and the reader must be
    // cleared before reuse.
    bool read(int fd, const std::string& peer, const Deadline& deadline, bool& timedOut, Frame& out,
              CYxError& error);
    // Discards the bytes already buffered and returns how many there were.
    size_t discardBuffered();

private:
    static constexpr int kTimeoutUnknown = -1;

    size_t buffered() const { return m_end - m_begin; }
    void releaseReturnedFrame();
    void compact();
    bool receiveSome(int fd, const std::string& peer, char* into, size_t room, bool midFrame,
                     const Deadline& deadline, bool& timedOut, size_t& got, CYxError& error);
    bool receiveSomeTls(int fd, const std::string& peer, char* into, size_t room,
                        bool midFrame, const Deadline& deadline, bool& timedOut, size_t& got,
                        CYxError& error);
    bool peerClosed(const std::string& peer, bool midFrame, CYxError& error);
    bool setReceiveTimeout(int fd, int milliseconds);
    bool fillAtLeast(int fd, const std::string& peer, size_t count, const Deadline& deadline,
                     bool& timedOut, CYxError& error);
    bool readLargeBody(int fd, const std::string& peer, const Deadline& deadline, bool& timedOut,
                       CYxError& error);

    // Word-aligned, so that bodies can be decoded in place.
    alignas(8) std::array<char, kBufferSize> m_buffer;
    size_t m_begin = 0;
    size_t m_end = 0;
    size_t m_returnedBytes = 0;
    bool m_haveHeader = false;
    FrameHeader m_header;
    std::unique_ptr<char[]> m_largeBody;
    size_t m_largeFilled = 0;
    bool m_largeReturned = false;
    // The receive timeout last set on the socket (a cache to spare system calls).
    int m_receiveTimeoutMs = kTimeoutUnknown;
    detail::TlsStream* m_tls = nullptr;
    bool m_peerClosedAtBoundary = false;
};

// ---------------------------------------------------------------------------
// A connection: a socket, its TLS state, its frame reader and whether the
// stream is still in step. After a framing, TLS or socket error the
// connection is broken: it closes its socket and every later call reports
// that error without I/O. A peer that closes at a frame boundary breaks it
// too (kPeerClosed) but the socket stays open until the owner closes it, so a
// server can finish its work before the peer sees the close. A timed-out
// receive keeps the connection; a send that timed out after part of a frame
// went out breaks it.
// ---------------------------------------------------------------------------
class TQWIRE_API Connection {
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

    // Whether the peer closed this idle connection: it is attached and in
    // step, nothing unread waits in it, and the socket holds the peer's end
    // of stream, a reset or (over TLS) its close_notify. Never waits; any
    // other TLS failure seen on the way breaks the connection.
    bool peerClosedWhileIdle();

    bool isOpen() const { return m_fd >= 0; }
    bool isSecure() const { return static_cast<bool>(m_tls); }
    bool isBroken() const { return m_broken; }
    int fd() const { return m_fd; }
    const std::string& peer() const { return m_peer; }

    // Encode the record of `code` and send it as one frame.
    CYxError sendMessage(uint32_t code, const char* record, unsigned long length,
                         const Deadline& deadline, bool& timedOut);
    // Send a frame whose body is already encoded.
    CYxError sendFrame(uint32_t code, const char* body, size_t bodyLength, const Deadline& deadline,
                       bool& timedOut);
    // The next frame, undecoded; valid until the next receive.
    CYxError receiveFrame(Frame& out, const Deadline& deadline, bool& timedOut);
    // The next message, decoded into `body` (see decodeBody()). `bodyLength`
    // is its length on the wire.
    CYxError receiveMessage(uint32_t& code, tqsDatabuf_v2& body, uint32_t& bodyLength,
                            const Deadline& deadline, bool& timedOut);

    // Stop sending, read and discard until the peer closes or the deadline
    // runs out, then close: the peer gets every frame sent before. Success on
    // a connection that is closed or broken; it is then closed and reusable.
    CYxError closeGracefully(const Deadline& deadline, bool& timedOut);
    // Close at once (after discarding what already arrived, so the close does
    // not turn into a reset) and forget any error.
    void closeNow();

private:
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
    void breakWith(const CYxError& error);
    void breakKeepingSocket(const CYxError& error);
    void releaseSocket();

    int m_fd = -1;
    std::string m_peer;
    bool m_broken = false;
    CYxError m_breakError;
    std::unique_ptr<detail::TlsStream> m_tls;
    FrameReader m_reader;
};

// Accept one connection on `listenFd` within `deadline` into `out`; with TLS
// the connection is secured as a server (the handshake runs in its first
// receive or send). The first form takes the security of the environment.
TQWIRE_API CYxError acceptConnection(int listenFd, const Deadline& deadline, bool& timedOut,
                                     Connection& out);
TQWIRE_API CYxError acceptConnection(int listenFd, const Security& security,
                                     const Deadline& deadline, bool& timedOut, Connection& out);

// ---------------------------------------------------------------------------
// The attach handshake. The client sends HELLO naming the service and itself;
// the server answers ACCEPT or REFUSE with a reason.
//   HELLO  (kHelloCode) : u_int version; string library<256>; string entry<256>;
//                         string localName<1024>
//   ACCEPT (kAcceptCode): u_int version
//   REFUSE (kRefuseCode): string reason<1024>
// ---------------------------------------------------------------------------
constexpr uint32_t kHelloCode = 0x7E510001;
constexpr uint32_t kAcceptCode = 0x7E510002;
constexpr uint32_t kRefuseCode = 0x7E510003;
constexpr uint32_t kHandshakeVersion = 1;
constexpr size_t kMaxServiceNameLength = 256;
constexpr size_t kMaxLocalNameLength = 1024;
constexpr size_t kMaxReasonLength = 1024;

struct Hello {
    std::string library;
    std::string entry;
    std::string localName;
};

// The text of a fixed-size field: up to its first NUL, at most `capacity` bytes.
TQWIRE_API std::string boundedText(const char* field, size_t capacity);
// The hello for `service` (its two fields read boundedly) and `localName`
// (null: empty). kInvalidArgument when the local name is too long.
TQWIRE_API CYxError makeHello(const tqsExecuteRemoteDllType& service, const char* localName,
                              Hello& out);

TQWIRE_API CYxError encodeHello(const Hello& hello, std::string& body);
TQWIRE_API CYxError decodeHello(const char* body, size_t bodyLength, Hello& out);

// Client side: send the hello, then wait for the answer. A refusal gives
// kServiceRefused with the peer's reason in the text.
TQWIRE_API CYxError sendHello(Connection& connection, const Hello& hello, const Deadline& deadline,
                              bool& timedOut);
TQWIRE_API CYxError awaitHelloAnswer(Connection& connection, const Deadline& deadline,
                                     bool& timedOut);

// Server side: the first frame must be a hello.
TQWIRE_API CYxError receiveHello(Connection& connection, Hello& out, const Deadline& deadline,
                                 bool& timedOut);
TQWIRE_API CYxError sendAccept(Connection& connection, const Deadline& deadline, bool& timedOut);
// `reason` is cut to kMaxReasonLength bytes.
TQWIRE_API CYxError sendRefuse(Connection& connection, const std::string& reason,
                               const Deadline& deadline, bool& timedOut);

}  // namespace tqwire
