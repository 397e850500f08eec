// The CI server: listens, takes connections through their TLS handshake and
// hello together in one event loop, runs each that said its hello on a thread
// of its own (its session), within the limits of Admission, and hands every
// index change to the one IndexWriter.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "YxError.h"
#include "cisrv/Admission.h"
#include "cisrv/IndexStore.h"
#include "cisrv/IndexWriter.h"
#include "cisrv/ServerConfig.h"
#include "cisrv/ServerLog.h"
#include "cisrv/TlsUpkeep.h"
#include "session/TqWire.h"

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
    struct Pending;
    using PendingList = std::list<std::unique_ptr<Pending>>;
    struct Lingering;
    using LingerList = std::list<std::unique_ptr<Lingering>>;

    void serveOnce(const std::atomic<bool>& stop);
    void acceptReady();
    void advance(PendingList::iterator at, const std::atomic<bool>& stop);
    void watch(Pending& pending, uint32_t events);
    void dropPending(PendingList::iterator at, const std::string& why);
    void dropExpired();
    void linger(std::unique_ptr<tqsession::Connection> connection);
    void drain(LingerList::iterator at);
    void startSession(std::unique_ptr<RunningSession> session, const std::atomic<bool>& stop);
    void notePressure(const std::string& peer, const std::string& why);
    void flushPressure();
    void reapFinishedSessions();
    void joinAllSessions();

    const ServerConfig m_config;
    ServerLog& m_log;
    std::unique_ptr<IndexStore> m_store;
    std::unique_ptr<IndexWriter> m_writer;
    int m_listenFd = -1;
    int m_epollFd = -1;
    uint16_t m_port = 0;
    uint64_t m_sessionsStarted = 0;
    Admission m_admission;
    std::list<std::unique_ptr<RunningSession>> m_sessions;
    // Connections yet to finish their TLS handshake and hello, oldest first
    // (so by deadline), and each one's entry by its admission place.
    PendingList m_pending;
    std::unordered_map<const Admission::Place*, PendingList::iterator> m_pendingByPlace;
    // Refused during their TLS handshake: given a moment to read the alert
    // and close first; oldest first.
    LingerList m_lingering;
    std::unordered_map<const void*, LingerList::iterator> m_lingeringByKey;
    // Pending connections dropped or closed at once since the last line that
    // said so, and when the next such line may be written (a flood must not
    // flood the log).
    uint64_t m_droppedSinceLine = 0;
    std::chrono::steady_clock::time_point m_nextPressureLine{};
    // SIGHUP's reload of the TLS files and the expiry warnings.
    TlsUpkeep m_tls;
};

}  // namespace cisrv
