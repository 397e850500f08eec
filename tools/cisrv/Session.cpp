// A session: attach, then carry out requests one at a time.
#include "cisrv/Session.h"

#include <sys/socket.h>

#include <algorithm>
#include <exception>
#include <future>
#include <memory>
#include <string>

#include "TqMessages.h"
#include "cisrv/Escape.h"
#include "cisrv/HealthCheck.h"
#include "cisrv/Metrics.h"
#include "cisrv/Requests.h"
#include "common/ProtocolNames.h"

namespace cisrv {

namespace {

// A waiting session looks at the stop flag this often (milliseconds).
constexpr int64_t kStopPollMs = 100;
// Wait for an erase response to go out, in wait units.
constexpr int kSendWait = tqsession::kDefaultWait;

enum class Received { Done, TimedOut, Stopped };

// Counts an attached session as open for as long as it lives.
struct CountedAsOpen {
    CountedAsOpen() { metrics().sessionOpened(); }
    ~CountedAsOpen() { metrics().sessionClosed(); }
    CountedAsOpen(const CountedAsOpen&) = delete;
    CountedAsOpen& operator=(const CountedAsOpen&) = delete;
};

// Ends the connection with a reset instead of a close. A peer closing
// gracefully waits for our close, which would tell it that its prunes are
// durable; the reset makes its close fail instead.
void resetConnection(tqsession::Connection& connection) {
    const linger abort{1, 0};
    (void)::setsockopt(connection.fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    connection.closeNow();
}

// Why a receive ended the session: the peer's close, a protocol error, or a
// failed connection.
std::string describeReceiveFailure(const CYxError& failure) {
    std::string text = escapeControl(failure.AsString());
    switch (failure.Code()) {
        case tqerr::kPeerClosed: return text;
        case tqerr::kProtocol:
        case tqerr::kFrameTooLarge: return "protocol error: " + text;
        default: return "connection failed: " + text;
    }
}

class Session {
public:
    Session(uint64_t number, tqsession::Connection& connection, const SessionContext& context)
        : m_name("session " + std::to_string(number)),
          m_connection(connection),
          m_context(context),
          m_config(context.config) {}

    void run();

private:
    bool attach();
    void answerHealthCheck();
    void refuse(const std::string& client, const std::string& reason);
    void serveRequests();
    bool handle(const tqsession::Frame& frame);
    bool handleErase(const tqsDatabuf_v2& body);
    void handlePrune(const tqsDatabuf_v2& body);
    bool carryOut(const EraseScope& scope);
    bool reply(bool erased);
    std::string confirmClose(uint64_t notCarriedOut);

    template <typename Receive>
    Received receiveWithin(const tqsession::Deadline& limit, CYxError& result, Receive receive);

    void log(ServerLog::Level level, const std::string& message) {
        m_context.log.write(level, m_name + ": " + message);
    }
    // Ends the session for `why`; `level` says how the end is logged.
    void endFor(const std::string& why, ServerLog::Level level = ServerLog::Level::Warn) {
        m_why = why;
        m_endLevel = level;
    }
    const std::string& peer() const { return m_peerName; }

    const std::string m_name;
    tqsession::Connection& m_connection;
    const SessionContext& m_context;
    const ServerConfig& m_config;
    std::string m_peerName;
    std::string m_why;  // why the session ended
    ServerLog::Level m_endLevel = ServerLog::Level::Info;
    uint64_t m_erases = 0;
    uint64_t m_prunes = 0;
    uint64_t m_prunesIgnored = 0;  // invalid, or the index is read-only
    bool m_closedByPeer = false;   // a close at a frame boundary, which may be confirmed
    const IndexWriter::PruneLosses m_lostPrunes = std::make_shared<std::atomic<uint64_t>>(0);
};

// Runs `receive` with deadlines of at most kStopPollMs, so a stop is seen
// soon, until it returns anything but a timeout or `limit` runs out. A frame
// cut by a timeout is kept by the connection for the next call.
template <typename Receive>
Received Session::receiveWithin(const tqsession::Deadline& limit, CYxError& result,
                                Receive receive) {
    for (;;) {
        if (m_context.stop.load()) {
            return Received::Stopped;
        }
        const int64_t sliceMs = std::min<int64_t>(kStopPollMs, limit.pollTimeoutMs());
        bool timedOut = false;
        result = receive(tqsession::Deadline::afterMs(sliceMs), timedOut);
        if (!timedOut) {
            return Received::Done;
        }
        if (limit.expired()) {
            return Received::TimedOut;
        }
    }
}

void Session::run() {
    m_peerName = m_connection.peer();
    if (!attach()) {
        m_connection.closeNow();
        return;
    }
    const CountedAsOpen counted;
    serveRequests();
    // Everything handed over is committed before the connection closes (a
    // peer's close at a frame boundary leaves the socket open): a peer
    // closing gracefully waits for this close, which tells it its requests
    // are durable. A peer that asked for it gets the count first, so that a
    // server that dies before this point cannot pass for one that committed.
    // A peer without it is reset when some of its prunes could not be
    // carried out.
    if (m_prunes > 0) {
        m_context.writer.flush();
    }
    const uint64_t lost = m_lostPrunes->load();
    const uint64_t notCarriedOut = lost + m_prunesIgnored;
    std::string outcome;
    if (m_connection.confirmsClose() && m_closedByPeer) {
        outcome = confirmClose(notCarriedOut);
        m_connection.closeNow();
    } else if (lost > 0) {
        resetConnection(m_connection);
        outcome = "; connection reset: " + std::to_string(lost) + " prunes not carried out";
    } else {
        m_connection.closeNow();
    }
    log(lost > 0 ? ServerLog::Level::Warn : m_endLevel,
        "session ended: " + m_why + "; " + std::to_string(m_erases) + " erase and " +
            std::to_string(m_prunes) + " prune requests" + outcome);
}

// Tells the peer how many of its requests arrived and how many could not be
// carried out; returns what the end-of-session line adds.
std::string Session::confirmClose(uint64_t notCarriedOut) {
    bool timedOut = false;
    const tqsession::CloseConfirmation confirmation{m_erases + m_prunes, notCarriedOut};
    const CYxError sent = tqsession::sendCloseConfirmation(
        m_connection, confirmation, tqsession::Deadline::fromWait(kSendWait), timedOut);
    if (sent.IsError()) {
        return "; close not confirmed: " + escapeControl(sent.AsString());
    }
    return "; close confirmed" +
           (notCarriedOut > 0 ? ": " + std::to_string(notCarriedOut) + " prunes not carried out"
                              : std::string());
}

bool Session::attach() {
    tqsession::Hello hello;
    CYxError result;
    const Received received = receiveWithin(
        m_context.attachDeadline, result, [&](const tqsession::Deadline& deadline, bool& timedOut) {
            return tqsession::receiveHello(m_connection, hello, deadline, timedOut);
        });
    if (received == Received::Stopped) {
        log(ServerLog::Level::Info,
            "connection from " + peer() + " closed before its hello: server stopping");
        return false;
    }
    if (received == Received::TimedOut) {
        metrics().refused(Refusal::HandshakeTimeout);
        log(ServerLog::Level::Warn,
            "connection from " + peer() + " dropped: " +
                (m_connection.isSecure() ? "no TLS handshake and hello within "
                                         : "no hello within ") +
                secondsText(m_config.handshakeTimeoutMs));
        return false;
    }
    if (result.IsError()) {
        metrics().refused(Refusal::Handshake);
        log(ServerLog::Level::Warn,
            "connection from " + peer() + " dropped: " + escapeControl(result.AsString()));
        return false;
    }

    if (isHealthCheck(hello)) {
        answerHealthCheck();
        return false;
    }
    const std::string asked = hello.library + "/" + hello.entry;
    const std::string offered = m_config.serviceLibrary + "/" + m_config.serviceEntry;
    const std::string client = peer() + " (local name \"" + escapeControl(hello.localName) + "\")";
    if (hello.library != m_config.serviceLibrary || hello.entry != m_config.serviceEntry) {
        metrics().refused(Refusal::Service);
        refuse(client, "service \"" + escapeControl(asked) +
                           "\" is not offered here; this server offers " + offered);
        return false;
    }
    if (!m_context.place.takeSessionSlot()) {
        metrics().refused(Refusal::Busy);
        refuse(client, "server busy: already serving " + std::to_string(m_config.maxSessions) +
                           " sessions");
        return false;
    }
    bool timedOut = false;
    result = tqsession::sendAccept(m_connection, m_context.attachDeadline, timedOut,
                                   tqsession::agreedVersion(hello.offeredVersion));
    if (result.IsError()) {
        log(ServerLog::Level::Warn,
            "cannot accept " + client + ": " + escapeControl(result.AsString()));
        return false;
    }
    log(ServerLog::Level::Info, "session started: peer " + client + ", service " + offered);
    return true;
}

// A probe takes no session slot and leaves no log line: it is accepted and
// closed once the prober has closed (within the attach deadline).
void Session::answerHealthCheck() {
    bool timedOut = false;
    if (!tqsession::sendAccept(m_connection, m_context.attachDeadline, timedOut).IsError()) {
        (void)m_connection.closeGracefully(m_context.attachDeadline, timedOut);
    }
}

// Answers the hello with a refusal within the attach deadline, so the client
// learns why rather than timing out.
void Session::refuse(const std::string& client, const std::string& reason) {
    bool timedOut = false;
    tqsession::sendRefuse(m_connection, reason, m_context.attachDeadline, timedOut);
    log(ServerLog::Level::Warn, "refused " + client + ": " + reason);
}

// Serves requests until the session ends; `m_why` says why it ended.
void Session::serveRequests() {
    for (;;) {
        tqsession::Frame frame;
        CYxError result;
        const Received received =
            receiveWithin(tqsession::Deadline::afterMs(m_config.idleTimeoutMs), result,
                          [&](const tqsession::Deadline& deadline, bool& timedOut) {
                              return m_connection.receiveFrame(frame, deadline, timedOut);
                          });
        switch (received) {
            case Received::Stopped: endFor("server stopping", ServerLog::Level::Info); return;
            case Received::TimedOut:
                endFor("idle for " + secondsText(m_config.idleTimeoutMs), ServerLog::Level::Info);
                return;
            case Received::Done: break;
        }
        if (result.IsError()) {
            // The socket stays open only when the peer closed at a frame boundary.
            m_closedByPeer = result.Code() == tqerr::kPeerClosed && m_connection.isOpen();
            endFor(describeReceiveFailure(result), result.Code() == tqerr::kPeerClosed
                                                       ? ServerLog::Level::Info
                                                       : ServerLog::Level::Warn);
            return;
        }
        if (!handle(frame)) {
            return;
        }
    }
}

// The code is checked before the body is decoded, so a message this server
// does not take is reported as such whatever its body holds.
bool Session::handle(const tqsession::Frame& frame) {
    if (frame.code != tqmsg::kEraseDataReq && frame.code != tqmsg::kAfPruneReq) {
        endFor("protocol error: unexpected message " + tqcommon::hexCode(frame.code));
        return false;
    }
    tqsDatabuf_v2 body;
    const CYxError decoded = tqsession::decodeBody(frame.code, frame.body, frame.bodyLength, body);
    if (decoded.IsError()) {
        endFor("protocol error: " + escapeControl(decoded.AsString()));
        return false;
    }
    if (frame.code == tqmsg::kEraseDataReq) {
        return handleErase(body);
    }
    handlePrune(body);
    return true;
}

bool Session::handleErase(const tqsDatabuf_v2& body) {
    ++m_erases;
    EraseScope scope;
    const CYxError valid = readEraseRequest(body.getDataBuffer(), body.getValidLen(), scope);
    bool erased = false;
    if (valid.IsError()) {
        metrics().erased(EraseOutcome::Refused);
        log(ServerLog::Level::Warn, describe(scope) + ": refused: " + valid.AsString());
    } else if (m_config.readOnly) {
        metrics().erased(EraseOutcome::ReadOnly);
        log(ServerLog::Level::Info, describe(scope) + ": not carried out: index is read-only");
    } else {
        erased = carryOut(scope);
    }
    return reply(erased);
}

bool Session::carryOut(const EraseScope& scope) {
    const IndexWriter::EraseResult result = m_context.writer.erase(scope).get();
    if (result.status.IsError()) {
        metrics().erased(EraseOutcome::Failed);
        log(ServerLog::Level::Error, describe(scope) + ": failed: " + result.status.AsString());
        return false;
    }
    metrics().erased(EraseOutcome::Done, result.removed);
    log(ServerLog::Level::Info,
        describe(scope) + ": " + std::to_string(result.removed) + " documents removed");
    return true;
}

void Session::handlePrune(const tqsDatabuf_v2& body) {
    ++m_prunes;
    PruneScope scope;
    const CYxError valid = readPruneRequest(body.getDataBuffer(), body.getValidLen(), scope);
    if (valid.IsError()) {
        ++m_prunesIgnored;
        metrics().pruned(PruneOutcome::Invalid);
        log(ServerLog::Level::Warn, "prune request ignored: " + valid.AsString());
    } else if (m_config.readOnly) {
        ++m_prunesIgnored;
        metrics().pruned(PruneOutcome::ReadOnly);
        log(ServerLog::Level::Info, describe(scope) + ": ignored: index is read-only");
    } else {
        m_context.writer.prune(scope, m_name, m_lostPrunes);
    }
}

bool Session::reply(bool erased) {
    const tqmsg::EraseDataResp response = makeEraseResponse(erased);
    bool timedOut = false;
    const CYxError result = m_connection.sendMessage(
        tqmsg::kEraseDataResp, reinterpret_cast<const char*>(&response), sizeof response,
        tqsession::Deadline::fromWait(kSendWait), timedOut);
    if (!result.IsError()) {
        return true;
    }
    endFor("cannot send the erase response: " + escapeControl(result.AsString()));
    return false;
}

}  // namespace

void serveSession(uint64_t number, tqsession::Connection& connection,
                  const SessionContext& context) noexcept {
    try {
        Session(number, connection, context).run();
    } catch (const std::exception& failure) {
        connection.closeNow();
        context.log.error("session " + std::to_string(number) +
                          ": ended by a failure: " + failure.what());
    }
}

}  // namespace cisrv
