// Listening, accepting, and one thread per session.
#include "Server.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "Escape.h"
#include "Session.h"
#include "TqWire.h"

namespace cisrv {

namespace {

// The accept loop looks at the stop flag this often (milliseconds).
constexpr int64_t kStopPollMs = 100;
// Pause after a failed accept (out of descriptors, say) before trying again.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);
// Time given to a refused connection to read its refusal and close.
constexpr int64_t kRefusalWaitMs = 500;

}  // namespace

struct Server::RunningSession {
    tqwire::Connection connection;
    std::thread thread;
    std::atomic<bool> finished{false};
};

Server::Server(ServerConfig config, ServerLog& log) : m_config(std::move(config)), m_log(log) {}

Server::~Server() {
    joinAllSessions();
    if (m_listenFd >= 0) ::close(m_listenFd);
    m_writer.reset();  // commits what is queued before the store closes
}

Status Server::start() {
    try {
        Status status = IndexStore::open(m_config.indexFile, OpenMode::CreateIfMissing,
                                         m_config.store, m_store);
        if (!status.isOk()) return status;
        m_writer = std::make_unique<IndexWriter>(*m_store, m_log, m_config.writer);
        int fd = -1;
        const CYxError listening =
            tqwire::listenTcp(m_config.listenAddress.c_str(), m_config.listenPort, fd, m_port);
        if (listening.IsError()) {
            return Status::failure("cannot listen on " + m_config.listenAddress + " port " +
                                   std::to_string(m_config.listenPort) + ": " +
                                   listening.AsString());
        }
        m_listenFd = fd;
        return Status::ok();
    } catch (const std::exception& failure) {
        return Status::failure(std::string("cannot start: ") + failure.what());
    }
}

void Server::run(const std::atomic<bool>& stop) {
    if (!m_writer || m_listenFd < 0) return;  // not started
    m_log.write("serving index " + m_config.indexFile + " on " + m_config.listenAddress + " port " +
                std::to_string(m_port) + ", service " + m_config.serviceLibrary + "/" +
                m_config.serviceEntry + (m_config.readOnly ? ", read-only" : ""));
    while (!stop.load()) acceptOne(stop);

    ::close(m_listenFd);
    m_listenFd = -1;
    reapFinishedSessions();
    m_log.write("stopping: no longer accepting; " + std::to_string(m_sessions.size()) +
                " sessions finishing");
    joinAllSessions();
    m_writer->stop();
    m_log.write("stopped after " + std::to_string(m_sessionsStarted) + " sessions and " +
                std::to_string(m_writer->commits()) + " index commits");
}

void Server::acceptOne(const std::atomic<bool>& stop) {
    auto session = std::make_unique<RunningSession>();
    bool timedOut = false;
    const CYxError accepted = tqwire::acceptConnection(
        m_listenFd, tqwire::Deadline::afterMs(kStopPollMs), timedOut, session->connection);
    reapFinishedSessions();
    if (timedOut) return;
    if (accepted.IsError()) {
        m_log.write("cannot accept a connection: " + accepted.AsString());
        std::this_thread::sleep_for(kAcceptRetryPause);
        return;
    }
    if (m_sessions.size() >= m_config.maxSessions) {
        refuseBusy(*session);
        return;
    }
    startSession(std::move(session), stop);
}

void Server::startSession(std::unique_ptr<RunningSession> session, const std::atomic<bool>& stop) {
    const uint64_t number = ++m_sessionsStarted;
    RunningSession* running = session.get();
    try {
        running->thread = std::thread([this, running, number, &stop] {
            const SessionContext context{m_config, m_log, *m_writer, stop};
            serveSession(number, running->connection, context);
            running->finished.store(true);
        });
    } catch (const std::system_error& failure) {
        m_log.write("session " + std::to_string(number) + ": connection from " +
                    running->connection.peer() +
                    " dropped: cannot start a thread: " + failure.what());
        return;
    }
    m_sessions.push_back(std::move(session));
}

// Answers a connection beyond the session limit with a refusal, so its
// client learns why rather than timing out.
void Server::refuseBusy(RunningSession& session) {
    const std::string reason =
        "server busy: already serving " + std::to_string(m_config.maxSessions) + " sessions";
    const std::string peer = session.connection.peer();
    bool timedOut = false;
    tqwire::sendRefuse(session.connection, reason, tqwire::Deadline::afterMs(kRefusalWaitMs),
                       timedOut);
    session.connection.closeGracefully(tqwire::Deadline::afterMs(kRefusalWaitMs), timedOut);
    m_log.write("refused " + peer + ": " + reason);
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
