// Listening, taking connections through their TLS handshake and hello, and one
// thread per session.
//
// Connections that have not yet completed their TLS handshake and hello cost
// no thread: the accept thread serves them all in one event loop (epoll over
// their sockets, the handshake and the hello read without waiting), so
// thousands of peers that never authenticate cost a descriptor and a buffer
// each. A connection whose hello has arrived whole gets its session thread,
// which answers the hello (accept, or a refusal) and serves the session. When
// the pending table is full the oldest waiting connection makes room for the
// newest (Admission), so a host that completes its handshake quickly gets
// through a flood of connections that never finish.
#include "cisrv/Server.h"

#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "cisrv/Escape.h"
#include "cisrv/Metrics.h"
#include "cisrv/Requests.h"
#include "cisrv/Session.h"
#include "common/ErrorResult.h"
#include "session/TqWire.h"

namespace cisrv {

namespace {

// The loop looks at the stop flag this often (milliseconds).
constexpr int64_t kStopPollMs = 100;
// Connections accepted in one turn of the loop before the others get theirs.
constexpr int kAcceptsPerTurn = 64;
// Socket events taken from epoll in one turn.
constexpr int kEventsPerTurn = 256;
// At most one log line a second about pending connections closed or dropped.
constexpr auto kPressureLinePause = std::chrono::seconds(1);
// Descriptors kept free of pending connections: the index, the log, the
// listener, a reopened log, the writer's files.
constexpr size_t kReservedDescriptors = 64;

// The address of "address:port" or "[v6]:port", which the per-peer cap counts.
std::string addressOf(const std::string& peer) { return peer.substr(0, peer.rfind(':')); }

// Raises this process's soft descriptor limit to its hard limit (once), and
// returns how many pending connections fit beside the sessions.
size_t pendingThatFit(const ServerConfig& config) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return config.maxPending;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &limit);
        (void)::getrlimit(RLIMIT_NOFILE, &limit);
    }
    const size_t descriptors = limit.rlim_cur == RLIM_INFINITY ? SIZE_MAX : limit.rlim_cur;
    const size_t taken = config.maxSessions + kReservedDescriptors;
    const size_t room = descriptors > taken ? descriptors - taken : 1;
    return std::max<size_t>(1, std::min(config.maxPending, room));
}

}  // namespace

struct Server::RunningSession {
    std::unique_ptr<tqsession::Connection> connection;
    std::unique_ptr<Admission::Place> place;
    // The TLS handshake and the hello are done by then, counted from the accept.
    tqsession::Deadline attachDeadline = tqsession::Deadline::afterMs(0);
    std::thread thread;
    std::atomic<bool> finished{false};
};

struct Server::Lingering {
    std::unique_ptr<tqsession::Connection> connection;
    tqsession::Deadline until = tqsession::Deadline::afterMs(0);
};

struct Server::Pending {
    std::unique_ptr<tqsession::Connection> connection;
    std::unique_ptr<Admission::Place> place;
    tqsession::Deadline deadline = tqsession::Deadline::afterMs(0);
    uint32_t events = 0;  // what epoll waits for on its socket
};

Server::Server(ServerConfig config, ServerLog& log)
    : m_config(std::move(config)),
      m_log(log),
      m_admission({m_config.maxSessions, pendingThatFit(m_config), m_config.maxPendingPerPeer}),
      m_tls(log, m_config.tlsWarnDays) {}

Server::~Server() {
    m_pendingByPlace.clear();
    m_pending.clear();
    m_lingeringByKey.clear();
    m_lingering.clear();
    joinAllSessions();
    if (m_epollFd >= 0) {
        ::close(m_epollFd);
    }
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
    }
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
        if (status.IsError()) {
            return status;
        }
        m_writer = std::make_unique<IndexWriter>(*m_store, m_log, writer);
        int fd = -1;
        const CYxError listening =
            tqsession::listenTcp(m_config.listenAddress.c_str(), m_config.listenPort, fd, m_port);
        if (listening.IsError()) {
            return tqcommon::ioError("cannot listen on " + m_config.listenAddress + " port " +
                                     std::to_string(m_config.listenPort) + ": " +
                                     listening.AsString());
        }
        m_listenFd = fd;
        m_epollFd = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event listen{};
        listen.events = EPOLLIN;
        listen.data.ptr = nullptr;  // the listener; pending connections carry their entry
        if (m_epollFd < 0 || ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_listenFd, &listen) != 0) {
            return tqcommon::ioError(std::string("cannot wait for connections: ") +
                                     std::strerror(errno));
        }
        return CYxError();
    } catch (const std::exception& failure) {
        return tqcommon::ioError(std::string("cannot start: ") + failure.what());
    }
}

void Server::run(const std::atomic<bool>& stop) {
    if (!m_writer || m_listenFd < 0 || m_epollFd < 0) {
        return;  // not started
    }
    m_log.info("serving index " + m_config.indexFile + " on " + m_config.listenAddress + " port " +
               std::to_string(m_port) + ", service " + m_config.serviceLibrary + "/" +
               m_config.serviceEntry + (m_config.readOnly ? ", read-only" : ""));
    m_tls.start();
    while (!stop.load()) {
        serveOnce(stop);
    }
    ::close(m_listenFd);
    m_listenFd = -1;
    if (m_droppedSinceLine > 0) {
        m_log.warn(std::to_string(m_droppedSinceLine) +
                   " more pending connections were closed or dropped since the last such line");
    }
    if (!m_pending.empty()) {
        m_log.info(std::to_string(m_pending.size()) +
                   " connections closed before their hello: server stopping");
        m_pendingByPlace.clear();
        m_pending.clear();
    }
    reapFinishedSessions();
    m_log.info("stopping: no longer accepting; " + std::to_string(m_sessions.size()) +
               " sessions finishing");
    joinAllSessions();
    m_writer->stop();
    m_log.info("stopped after " + std::to_string(m_sessionsStarted) + " sessions and " +
               std::to_string(m_writer->commits()) + " index commits");
}

// One turn of the loop: wait for sockets (at most until the oldest pending
// connection's deadline), accept, advance the pending connections that can.
void Server::serveOnce(const std::atomic<bool>& stop) {
    int64_t waitMs = kStopPollMs;
    if (!m_pending.empty()) {
        waitMs = std::min<int64_t>(waitMs, m_pending.front()->deadline.pollTimeoutMs());
    }
    if (!m_lingering.empty()) {
        waitMs = std::min<int64_t>(waitMs, m_lingering.front()->until.pollTimeoutMs());
    }
    epoll_event events[kEventsPerTurn];
    const int count = ::epoll_wait(m_epollFd, events, kEventsPerTurn, static_cast<int>(waitMs));
    reapFinishedSessions();
    m_log.reopenIfRequested();
    m_tls.poll();
    for (int i = 0; i < count && !stop.load(); ++i) {
        if (events[i].data.ptr == nullptr) {
            acceptReady();
            continue;
        }
        // Either may be gone already: evicted by an accept earlier in this turn.
        const auto found =
            m_pendingByPlace.find(static_cast<const Admission::Place*>(events[i].data.ptr));
        if (found != m_pendingByPlace.end()) {
            advance(found->second, stop);
            continue;
        }
        const auto refused = m_lingeringByKey.find(events[i].data.ptr);
        if (refused != m_lingeringByKey.end()) {
            drain(refused->second);
        }
    }
    dropExpired();
    flushPressure();
    metrics().setPending(m_pending.size());
}

// Those counted since the last pressure line, once a second has passed.
void Server::flushPressure() {
    if (m_droppedSinceLine == 0 || std::chrono::steady_clock::now() < m_nextPressureLine) {
        return;
    }
    m_log.warn(std::to_string(m_droppedSinceLine) +
               " more pending connections were closed or dropped since the last such line; " +
               std::to_string(m_pending.size()) + " pending");
    m_droppedSinceLine = 0;
    m_nextPressureLine = std::chrono::steady_clock::now() + kPressureLinePause;
}

void Server::acceptReady() {
    for (int accepted = 0; accepted < kAcceptsPerTurn; ++accepted) {
        auto connection = std::make_unique<tqsession::Connection>();
        bool timedOut = false;
        const CYxError result = tqsession::acceptConnection(
            m_listenFd, tqsession::Deadline::afterMs(0), timedOut, *connection);
        if (timedOut) {
            return;
        }
        if (result.IsError()) {
            m_log.error("cannot accept a connection: " + result.AsString());
            return;
        }
        auto pending = std::make_unique<Pending>();
        pending->connection = std::move(connection);
        pending->deadline = tqsession::Deadline::afterMs(m_config.handshakeTimeoutMs);
        const std::string peer = pending->connection->peer();
        std::string why;
        const Admission::Place* evicted = nullptr;
        pending->place = m_admission.admit(addressOf(peer), why, evicted);
        if (evicted != nullptr) {
            const auto victim = m_pendingByPlace.find(evicted);
            if (victim != m_pendingByPlace.end()) {
                metrics().refused(Refusal::Evicted);
                dropPending(victim->second, "closed to make room for a newer connection: " +
                                                std::to_string(m_pending.size()) +
                                                " connections are pending (--max-pending)");
            }
        }
        if (!pending->place) {
            metrics().refused(why.find("--max-pending-per-peer") != std::string::npos
                                  ? Refusal::PeerCap
                                  : Refusal::PendingFull);
            pending->connection->closeNow();
            notePressure(peer, "closed at once: " + why);
            continue;
        }
        const Admission::Place* key = pending->place.get();
        m_pending.push_back(std::move(pending));
        const auto at = std::prev(m_pending.end());
        m_pendingByPlace.emplace(key, at);
        watch(**at, EPOLLIN);
    }
}

// Registers or changes what the loop waits for on a pending socket.
void Server::watch(Pending& pending, uint32_t events) {
    if (pending.events == events) {
        return;
    }
    epoll_event event{};
    event.events = events;
    event.data.ptr = const_cast<Admission::Place*>(pending.place.get());
    const int operation = pending.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    (void)::epoll_ctl(m_epollFd, operation, pending.connection->fd(), &event);
    pending.events = events;
}

// Takes a pending connection as far as it goes without waiting: through the
// TLS handshake, then its hello. A whole hello hands it to a session thread.
void Server::advance(PendingList::iterator at, const std::atomic<bool>& stop) {
    Pending& pending = **at;
    CYxError error;
    tqsession::Connection::Progress progress = pending.connection->advanceHandshake(error);
    if (progress == tqsession::Connection::Progress::Complete) {
        progress = pending.connection->bufferFrame(tqsession::kMaxHelloBodyLength, error);
    }
    switch (progress) {
        case tqsession::Connection::Progress::WantRead: watch(pending, EPOLLIN); return;
        case tqsession::Connection::Progress::WantWrite: watch(pending, EPOLLOUT); return;
        case tqsession::Connection::Progress::Failed: {
            metrics().refused(Refusal::Handshake);
            m_log.warn("connection from " + pending.connection->peer() +
                       " dropped: " + escapeControl(error.AsString()));
            // A refused TLS handshake leaves its socket open to linger.
            std::unique_ptr<tqsession::Connection> refused;
            if (pending.connection->isOpen()) {
                refused = std::move(pending.connection);
            }
            if (refused) {
                (void)::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, refused->fd(), nullptr);
            }
            pending.events = refused ? 0 : pending.events;
            if (!refused) {
                dropPending(at, "");
            } else {
                m_pendingByPlace.erase(pending.place.get());
                m_pending.erase(at);
                linger(std::move(refused));
            }
            return;
        }
        case tqsession::Connection::Progress::Complete: break;
    }
    (void)::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, pending.connection->fd(), nullptr);
    auto session = std::make_unique<RunningSession>();
    session->connection = std::move(pending.connection);
    session->place = std::move(pending.place);
    session->place->handOver();
    session->attachDeadline = pending.deadline;
    m_pendingByPlace.erase(session->place.get());
    m_pending.erase(at);
    startSession(std::move(session), stop);
}

// Closes a pending connection; `why`, when given, is logged as pressure.
void Server::dropPending(PendingList::iterator at, const std::string& why) {
    Pending& pending = **at;
    if (!why.empty()) {
        notePressure(pending.connection->peer(), why);
    }
    if (pending.events != 0) {
        (void)::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, pending.connection->fd(), nullptr);
    }
    pending.connection->closeNow();
    m_pendingByPlace.erase(pending.place.get());
    m_pending.erase(at);
}

void Server::linger(std::unique_ptr<tqsession::Connection> connection) {
    if (connection->drainWithoutWaiting()) {
        return;  // closed already
    }
    auto lingering = std::make_unique<Lingering>();
    lingering->until = tqsession::Deadline::afterMs(tqsession::Connection::kRefusalLingerMs);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = connection.get();
    (void)::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, connection->fd(), &event);
    lingering->connection = std::move(connection);
    const void* key = lingering->connection.get();
    m_lingering.push_back(std::move(lingering));
    m_lingeringByKey.emplace(key, std::prev(m_lingering.end()));
}

void Server::drain(LingerList::iterator at) {
    tqsession::Connection& connection = *(*at)->connection;
    const int fd = connection.fd();
    if (!connection.drainWithoutWaiting() && !(*at)->until.expired()) {
        return;
    }
    if (fd >= 0) {
        (void)::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr);
    }
    connection.closeNow();
    m_lingeringByKey.erase(&connection);
    m_lingering.erase(at);
}

// Pending connections are in accept order, so by deadline; so are the
// lingering ones.
void Server::dropExpired() {
    while (!m_lingering.empty() && m_lingering.front()->until.expired()) {
        drain(m_lingering.begin());
    }
    while (!m_pending.empty() && m_pending.front()->deadline.expired()) {
        const bool secure = m_pending.front()->connection->isSecure();
        metrics().refused(Refusal::HandshakeTimeout);
        dropPending(m_pending.begin(),
                    std::string("dropped: ") +
                        (secure ? "no TLS handshake and hello within " : "no hello within ") +
                        secondsText(m_config.handshakeTimeoutMs));
    }
}

// Logs a pending connection closed or dropped under pressure: the first at
// once, then at most one line a second with the count of those in between.
void Server::notePressure(const std::string& peer, const std::string& why) {
    ++m_droppedSinceLine;
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextPressureLine) {
        return;
    }
    const std::string more = m_droppedSinceLine > 1
                                 ? "; " + std::to_string(m_droppedSinceLine - 1) +
                                       " more were closed or dropped since the last such line; " +
                                       std::to_string(m_pending.size()) + " pending"
                                 : "";
    m_log.warn("connection from " + peer + " " + why + more);
    m_droppedSinceLine = 0;
    m_nextPressureLine = now + kPressureLinePause;
}

void Server::startSession(std::unique_ptr<RunningSession> session, const std::atomic<bool>& stop) {
    const uint64_t number = ++m_sessionsStarted;
    RunningSession* running = session.get();
    try {
        running->thread = std::thread([this, running, number, &stop] {
            const SessionContext context{m_config, m_log,           *m_writer,
                                         stop,     *running->place, running->attachDeadline};
            serveSession(number, *running->connection, context);
            running->place.reset();
            running->finished.store(true);
        });
    } catch (const std::system_error& failure) {
        m_log.error("session " + std::to_string(number) + ": connection from " +
                    running->connection->peer() +
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
        if (session->thread.joinable()) {
            session->thread.join();
        }
    }
    m_sessions.clear();
}

}  // namespace cisrv
