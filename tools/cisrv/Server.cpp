// Listening, accepting, and one thread per connection.
//
// Each accepted connection runs on a thread of its own from its TLS handshake
// on; the accept loop only counts, starts threads and closes connections past
// a cap, so no peer can hold it. Threads rather than one event loop for the
// pending connections: the handshake, the hello and the refusals are the same
// deadline-bounded calls a session makes, a pending connection turns into its
// session on the thread it already has, and --max-pending bounds the threads
// (a pending thread waits in poll() and costs a stack it barely touches).
#include "Server.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "ErrorResult.h"
#include "Escape.h"
#include "Requests.h"
#include "Session.h"
#include "TqWire.h"

namespace cisrv {

namespace {

// The accept loop looks at the stop flag this often (milliseconds).
constexpr int64_t kStopPollMs = 100;
// Pause after a failed accept (out of descriptors, say) before trying again.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);
// At most one log line a second about connections closed at once.
constexpr auto kClosedLinePause = std::chrono::seconds(1);

// The address of "address:port" or "[v6]:port", which the per-peer cap counts.
std::string addressOf(const std::string& peer) { return peer.substr(0, peer.rfind(':')); }

}  // namespace

struct Server::RunningSession {
    tqwire::Connection connection;
    std::unique_ptr<Admission::Place> place;
    // The TLS handshake and the hello are done by then, counted from the accept.
    tqwire::Deadline attachDeadline = tqwire::Deadline::afterMs(0);
    std::thread thread;
    std::atomic<bool> finished{false};
};

Server::Server(ServerConfig config, ServerLog& log)
    : m_config(std::move(config)),
      m_log(log),
      m_admission({m_config.maxSessions, m_config.maxPending, m_config.maxPendingPerPeer}) {}

Server::~Server() {
    joinAllSessions();
    if (m_listenFd >= 0) ::close(m_listenFd);
    m_writer.reset();  // commits what is queued before the store closes
}

CYxError Server::start() {
    try {
        StoreOptions store = m_config.store;
        IndexWriter::Limits writer = m_config.writer;
        store.note = [this](const std::string& line) { m_log.info(line); };
        if (m_config.readOnly) {  // the index is never changed, not even migrated or purged
            store.migrate = false;
            writer.purge.enabled = false;
        }
        setPathLogging(m_config.pathLogging);
        CYxError status =
            IndexStore::open(m_config.indexFile, OpenMode::CreateIfMissing, store, m_store);
        if (status.IsError()) return status;
        m_writer = std::make_unique<IndexWriter>(*m_store, m_log, writer);
        int fd = -1;
        const CYxError listening =
            tqwire::listenTcp(m_config.listenAddress.c_str(), m_config.listenPort, fd, m_port);
        if (listening.IsError()) {
            return tqcommon::ioError("cannot listen on " + m_config.listenAddress + " port " +
                                   std::to_string(m_config.listenPort) + ": " +
                                   listening.AsString());
        }
        m_listenFd = fd;
        return CYxError();
    } catch (const std::exception& failure) {
        return tqcommon::ioError(std::string("cannot start: ") + failure.what());
    }
}

void Server::run(const std::atomic<bool>& stop) {
    if (!m_writer || m_listenFd < 0) return;  // not started
    m_log.info("serving index " + m_config.indexFile + " on " + m_config.listenAddress + " port " +
                std::to_string(m_port) + ", service " + m_config.serviceLibrary + "/" +
                m_config.serviceEntry + (m_config.readOnly ? ", read-only" : ""));
    while (!stop.load()) acceptOne(stop);

    ::close(m_listenFd);
    m_listenFd = -1;
    if (m_closedAtOnce > 0) {
        m_log.warn(std::to_string(m_closedAtOnce) +
                    " more connections were closed at once since the last such line");
    }
    reapFinishedSessions();
    m_log.info("stopping: no longer accepting; " + std::to_string(m_sessions.size()) +
                " sessions finishing");
    joinAllSessions();
    m_writer->stop();
    m_log.info("stopped after " + std::to_string(m_sessionsStarted) + " sessions and " +
                std::to_string(m_writer->commits()) + " index commits");
}

void Server::acceptOne(const std::atomic<bool>& stop) {
    auto session = std::make_unique<RunningSession>();
    bool timedOut = false;
    const CYxError accepted = tqwire::acceptConnection(
        m_listenFd, tqwire::Deadline::afterMs(kStopPollMs), timedOut, session->connection);
    reapFinishedSessions();
    m_log.reopenIfRequested();
    if (timedOut) return;
    if (accepted.IsError()) {
        m_log.error("cannot accept a connection: " + accepted.AsString());
        std::this_thread::sleep_for(kAcceptRetryPause);
        return;
    }
    session->attachDeadline = tqwire::Deadline::afterMs(m_config.handshakeTimeoutMs);
    const std::string peer = session->connection.peer();
    std::string why;
    session->place = m_admission.admit(addressOf(peer), why);
    if (!session->place) {
        session->connection.closeNow();
        noteClosedAtOnce(peer, why);
        return;
    }
    startSession(std::move(session), stop);
}

// Logs a connection closed past a cap: the first at once, then at most one
// line a second with the count of those in between.
void Server::noteClosedAtOnce(const std::string& peer, const std::string& why) {
    ++m_closedAtOnce;
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextClosedLine) return;
    const std::string more =
        m_closedAtOnce > 1 ? "; " + std::to_string(m_closedAtOnce - 1) +
                                 " more were closed at once since the last such line"
                           : "";
    m_log.warn("connection from " + peer + " closed at once: " + why + more);
    m_closedAtOnce = 0;
    m_nextClosedLine = now + kClosedLinePause;
}

void Server::startSession(std::unique_ptr<RunningSession> session, const std::atomic<bool>& stop) {
    const uint64_t number = ++m_sessionsStarted;
    RunningSession* running = session.get();
    try {
        running->thread = std::thread([this, running, number, &stop] {
            const SessionContext context{m_config, m_log, *m_writer, stop, *running->place,
                                         running->attachDeadline};
            serveSession(number, running->connection, context);
            running->place.reset();
            running->finished.store(true);
        });
    } catch (const std::system_error& failure) {
        m_log.error("session " + std::to_string(number) + ": connection from " +
                    running->connection.peer() +
                    " dropped: cannot start a thread: " + failure.what());
        return;
    }
    m_sessions.push_back(std::move(session));
}

void Server::reapFinishedSessions() {
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if ((*it)->finished.load()) {
            (*it)->thread.join();
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::joinAllSessions() {
    for (auto& session : m_sessions) {
        if (session->thread.joinable()) session->thread.join();
    }
    m_sessions.clear();
}

}  // namespace cisrv
