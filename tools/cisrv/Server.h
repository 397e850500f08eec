// The CI server: listens, runs each accepted connection as a session on a
// thread of its own (up to a limit), and hands every index change to the
// one IndexWriter.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>

#include "IndexStore.h"
#include "IndexWriter.h"
#include "ServerConfig.h"
#include "ServerLog.h"
#include "Status.h"

namespace cisrv {

class Server {
public:
    Server(ServerConfig config, ServerLog& log);
    // Stops what run() left running (only after a failed start or no run).
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens the index (creating it when missing) and starts listening.
    Status start();
    // The port listened on, once started.
    uint16_t port() const { return m_port; }

    // Accepts and serves sessions until `stop` becomes true; then stops
    // accepting, lets each session finish the request it is in, commits and
    // closes everything.
    void run(const std::atomic<bool>& stop);

    // Index transactions committed so far.
    uint64_t commits() const { return m_writer ? m_writer->commits() : 0; }

private:
    struct RunningSession;

    void acceptOne(const std::atomic<bool>& stop);
    void startSession(std::unique_ptr<RunningSession> session, const std::atomic<bool>& stop);
    void refuseBusy(RunningSession& session);
    void reapFinishedSessions();
    void joinAllSessions();

    const ServerConfig m_config;
    ServerLog& m_log;
    std::unique_ptr<IndexStore> m_store;
    std::unique_ptr<IndexWriter> m_writer;
    int m_listenFd = -1;
    uint16_t m_port = 0;
    uint64_t m_sessionsStarted = 0;
    std::list<std::unique_ptr<RunningSession>> m_sessions;
};

}  // namespace cisrv
