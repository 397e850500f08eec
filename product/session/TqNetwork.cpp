// CTqNetwork: a session to a remote service over one tqwire::Connection.
#include <cstdint>
#include <memory>
#include <new>

#include "Connection.h"
#include "Errors.h"
#include "Handshake.h"
#include "HostAddress.h"
#include "TqSession.h"

using tqwire::detail::guarded;

struct CTqNetwork::Impl {
    tqwire::Connection connection;
    // What the last successful attach asked for, to attach again when the
    // peer closed the connection while it was idle.
    tqwire::HostPort target;
    tqwire::Hello hello;
    int attachWait = tqwire::kDefaultWait;
};

namespace {

constexpr uint32_t kNoFlags = 0;

CYxError noSession() {
    return CYxError(tqerr::kNoMemory, "session could not be created (out of memory)");
}

CYxError invalidArgument(const char* what) { return CYxError(tqerr::kInvalidArgument, what); }

bool isWireCode(unsigned long code) { return code <= UINT32_MAX; }

// Connects, then presents the service; the session stays unattached on failure.
CYxError attach(tqwire::Connection& connection, const tqwire::HostPort& target,
                const tqwire::Hello& hello, const tqwire::Deadline& deadline, bool& timedOut) {
    CYxError result = connection.connect(target, deadline, timedOut);
    if (!result.IsError()) result = tqwire::sendHello(connection, hello, deadline, timedOut);
    if (!result.IsError()) result = tqwire::awaitHelloAnswer(connection, deadline, timedOut);
    if (result.IsError()) connection.closeNow();
    return result;
}

// A server closes sessions that stay idle, as a web server closes a kept-alive
// connection. A connection the peer closed while nothing was in flight is
// attached again with the last attach's parameters before a send, so the
// caller does not pay for it with a failed message; one that breaks with a
// request in flight stays a failure of that call, and nothing is sent again.
CYxError reattachIfPeerClosed(CTqNetwork::Impl& session, bool& timedOut) {
    if (!session.connection.peerClosedWhileIdle()) return CYxError();
    return attach(session.connection, session.target, session.hello,
                  tqwire::Deadline::fromWait(session.attachWait), timedOut);
}

}  // namespace

CTqNetwork::CTqNetwork() : m_impl(new (std::nothrow) Impl) {}

CTqNetwork::~CTqNetwork() { std::unique_ptr<Impl> release(m_impl); }

CYxError CTqNetwork::Attach_RemoteDLL(const char* host, tqsExecuteRemoteDllType* service,
                                      const char* localName, int wait, bool& timedOut) {
    timedOut = false;
    if (m_impl == nullptr) return noSession();
    if (service == nullptr) return invalidArgument("no remote service given");
    return guarded([&] {
        tqwire::HostPort target;
        tqwire::Hello hello;
        CYxError result = tqwire::parseHostPort(host, target);
        if (!result.IsError()) result = tqwire::makeHello(*service, localName, hello);
        if (result.IsError()) return result;
        // A server that can confirms the close of the session, so that a
        // graceful Disconnect succeeds only once every message was carried out.
        hello.offeredVersion = tqwire::kLatestHandshakeVersion;
        result = attach(m_impl->connection, target, hello, tqwire::Deadline::fromWait(wait),
                        timedOut);
        if (!result.IsError()) {
            m_impl->target = std::move(target);
            m_impl->hello = std::move(hello);
            m_impl->attachWait = wait;
        }
        return result;
    });
}

CYxError CTqNetwork::SendXDRMessage(unsigned long code, tqsDatabuf_v2* body, int flags, int wait,
                                    bool& timedOut) {
    timedOut = false;
    if (m_impl == nullptr) return noSession();
    if (body == nullptr) return invalidArgument("no message body given");
    if (flags != kNoFlags) return invalidArgument("unknown send flags");
    if (!isWireCode(code)) return invalidArgument("message code wider than 32 bits");
    return guarded([&] {
        const CYxError reattached = reattachIfPeerClosed(*m_impl, timedOut);
        if (reattached.IsError()) return reattached;
        return m_impl->connection.sendMessage(static_cast<uint32_t>(code), body->getDataBuffer(),
                                              body->getValidLen(),
                                              tqwire::Deadline::fromWait(wait), timedOut);
    });
}

CYxError CTqNetwork::ReceiveXDRMessage(unsigned long* code, tqsDatabuf_v2* body,
                                       tqsHostProtocolHeader* header, int flags, int wait,
                                       bool& timedOut) {
    timedOut = false;
    if (m_impl == nullptr) return noSession();
    if (code == nullptr || body == nullptr)
        return invalidArgument("no code or body to receive into");
    if (flags != kNoFlags) return invalidArgument("unknown receive flags");
    uint32_t received = 0;
    uint32_t bodyLength = 0;
    CYxError result = m_impl->connection.receiveMessage(received, *body, bodyLength,
                                                        tqwire::Deadline::fromWait(wait), timedOut);
    if (result.IsError()) return result;
    *code = received;
    if (header != nullptr) {
        header->messageCode = received;
        header->bodyLength = bodyLength;
    }
    return result;
}

CYxError CTqNetwork::FreeReceivedMessage(unsigned long /*code*/, tqsDatabuf_v2* body) {
    if (body != nullptr && body->ownsData()) body->reset();
    return CYxError();
}

CYxError CTqNetwork::Disconnect(int wait, bool& timedOut) {
    timedOut = false;
    if (m_impl == nullptr) return CYxError();
    return m_impl->connection.closeGracefully(tqwire::Deadline::fromWait(wait), timedOut);
}
