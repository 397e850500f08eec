// CTqNetwork: a session to a remote service over one tqsession::Connection.
#include <cstdint>
#include <memory>
#include <new>

#include "EvDebug.h"
#include "TqSession.h"
#include "session/Connection.h"
#include "session/Errors.h"
#include "session/Handshake.h"
#include "session/HostAddress.h"
#include "session/TlsContext.h"

using tqsession::detail::guarded;

struct CTqNetwork::Impl {
    tqsession::Connection connection;
    // What the last successful attach asked for, to attach again when the
    // peer closed the connection while it was idle.
    tqsession::HostPort target;
    tqsession::Hello hello;
    int attachWait = tqsession::kDefaultWait;
};

namespace {

constexpr uint32_t kNoFlags = 0;

CYxError noSession() {
    return CYxError(tqerr::kNoMemory, "session could not be created (out of memory)");
}

CYxError invalidArgument(const char* what) { return CYxError(tqerr::kInvalidArgument, what); }

bool isWireCode(unsigned long code) { return code <= UINT32_MAX; }

// Connects, then presents the service; the session stays unattached on failure.
CYxError attach(tqsession::Connection& connection, const tqsession::HostPort& target,
                const tqsession::Hello& hello, const tqsession::Deadline& deadline,
                bool& timedOut) {
    CYxError result = connection.connect(target, deadline, timedOut);
    if (!result.IsError()) {
        result = tqsession::sendHello(connection, hello, deadline, timedOut);
    }
    if (!result.IsError()) {
        result = tqsession::awaitHelloAnswer(connection, deadline, timedOut);
    }
    if (result.IsError()) {
        connection.closeNow();
    }
    return result;
}

// A server closes sessions that stay idle, as a web server closes a kept-alive
// connection. A connection the peer closed while nothing was in flight is
// attached again with the last attach's parameters before a send, so the
// caller does not pay for it with a failed message; one that breaks with a
// request in flight stays a failure of that call, and nothing is sent again.
CYxError reattachIfPeerClosed(CTqNetwork::Impl& session, bool& timedOut) {
    if (!session.connection.peerClosedWhileIdle()) {
        return CYxError();
    }
    return attach(session.connection, session.target, session.hello,
                  tqsession::Deadline::fromWait(session.attachWait), timedOut);
}

// The debug log of the process's content-index helper, which attaches
// sessions to CI servers: the log its operators read.
constexpr unsigned int kHelperLogModule = 0x27C30418;
constexpr long long kEveryLevel = -1;

// A line on this end's TLS files (its certificate runs out soon, changed files
// could not be used) goes to the process's debug log, written by the session
// library itself: the attach succeeded, and its caller's lines stay its own.
void logTlsNotice(const char* host, const std::string& notice) {
    if (notice.empty()) {
        return;
    }
    EvDebug log(nullptr);
    if (log.initialize(kHelperLogModule, kEveryLevel, false, std::string())) {
        log.debug("Session attached to [%s]. Notice:[%s]", host, notice.c_str());
    }
}

}  // namespace

CTqNetwork::CTqNetwork() : m_impl(new (std::nothrow) Impl) {}

CTqNetwork::~CTqNetwork() { std::unique_ptr<Impl> release(m_impl); }

CYxError CTqNetwork::Attach_RemoteDLL(const char* host, tqsExecuteRemoteDllType* service,
                                      const char* localName, int wait, bool& timedOut) {
    timedOut = false;
    if (m_impl == nullptr) {
        return noSession();
    }
    if (service == nullptr) {
        return invalidArgument("no remote service given");
    }
    return guarded([&] {
        tqsession::HostPort target;
        tqsession::Hello hello;
        CYxError result = tqsession::parseHostPort(host, target);
        if (!result.IsError()) {
            result = tqsession::makeHello(*service, localName, hello);
        }
        if (result.IsError()) {
            return result;
        }
        // A server that can confirms the close of the session, so that a
        // graceful Disconnect succeeds only once every message was carried out.
        hello.offeredVersion = tqsession::kLatestHandshakeVersion;
        result = attach(m_impl->connection, target, hello, tqsession::Deadline::fromWait(wait),
                        timedOut);
        if (!result.IsError()) {
            m_impl->target = std::move(target);
            m_impl->hello = std::move(hello);
            m_impl->attachWait = wait;
            logTlsNotice(host,
                         tqsession::detail::takeTlsNotice(tqsession::securityFromEnvironment()));
        }
        return result;
    });
}

CYxError CTqNetwork::SendXDRMessage(unsigned long code, tqsDatabuf_v2* body, int flags, int wait,
                                    bool& timedOut) {
    timedOut = false;
    if (m_impl == nullptr) {
        return noSession();
    }
    if (body == nullptr) {
        return invalidArgument("no message body given");
    }
    if (flags != kNoFlags) {
        return invalidArgument("unknown send flags");
    }
    if (!isWireCode(code)) {
        return invalidArgument("message code wider than 32 bits");
    }
    return guarded([&] {
        const CYxError reattached = reattachIfPeerClosed(*m_impl, timedOut);
        if (reattached.IsError()) {
            return reattached;
        }
        return m_impl->connection.sendMessage(static_cast<uint32_t>(code), body->getDataBuffer(),
                                              body->getValidLen(),
                                              tqsession::Deadline::fromWait(wait), timedOut);
    });
}

CYxError CTqNetwork::ReceiveXDRMessage(unsigned long* code, tqsDatabuf_v2* body,
                                       tqsHostProtocolHeader* header, int flags, int wait,
                                       bool& timedOut) {
    timedOut = false;
    if (m_impl == nullptr) {
        return noSession();
    }
    if (code == nullptr || body == nullptr) {
        return invalidArgument("no code or body to receive into");
    }
    if (flags != kNoFlags) {
        return invalidArgument("unknown receive flags");
    }
    uint32_t received = 0;
    uint32_t bodyLength = 0;
    CYxError result = m_impl->connection.receiveMessage(
        received, *body, bodyLength, tqsession::Deadline::fromWait(wait), timedOut);
    if (result.IsError()) {
        return result;
    }
    *code = received;
    if (header != nullptr) {
        header->messageCode = received;
        header->bodyLength = bodyLength;
    }
    return result;
}

CYxError CTqNetwork::FreeReceivedMessage(unsigned long /*code*/, tqsDatabuf_v2* body) {
    if (body != nullptr && body->ownsData()) {
        body->reset();
    }
    return CYxError();
}

CYxError CTqNetwork::Disconnect(int wait, bool& timedOut) {
    timedOut = false;
    if (m_impl == nullptr) {
        return CYxError();
    }
    return m_impl->connection.closeGracefully(tqsession::Deadline::fromWait(wait), timedOut);
}
