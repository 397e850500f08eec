// The CI server: listens, runs each accepted connection on a thread of its
// own (its TLS handshake and hello, then its session), within the limits of
// Admission, and hands every index change to the one IndexWriter.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "Admission.h"
#include "IndexStore.h"
#include "IndexWriter.h"
#include "ServerConfig.h"
#include "ServerLog.h"
#include "TlsUpkeep.h"
#include "YxError.h"

namespace cisrv {

class Server {
public:
    Server(ServerConfig config, ServerLog& log);
    // Stops what run() left running (only after a failed start or no run).
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens the index (creating it when missing) and starts listening.
    CYxError start();
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
    void noteClosedAtOnce(const std::string& peer, const std::string& why);
    void reapFinishedSessions();
    void joinAllSessions();

    const ServerConfig m_config;
    ServerLog& m_log;
    std::unique_ptr<IndexStore> m_store;
    std::unique_ptr<IndexWriter> m_writer;
    int m_listenFd = -1;
    uint16_t m_port = 0;
    uint64_t m_sessionsStarted = 0;
    Admission m_admission;
    std::list<std::unique_ptr<RunningSession>> m_sessions;
    // Connections closed at once since the last line that said so, and when
    // the next such line may be written (a flood must not flood the log).
    uint64_t m_closedAtOnce = 0;
    std::chrono::steady_clock::time_point m_nextClosedLine{};
    // SIGHUP's reload of the TLS files and the expiry warnings.
    TlsUpkeep m_tls;
};

}  // namespace cisrv
