// A peer on a loopback address for the session tests: it listens, accepts
// connections and runs a script on each in a thread of its own.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "TqSession.h"
#include "common/ProtocolNames.h"
#include "session/TqWire.h"

namespace sessiontest {

constexpr int kTestWaitUnitMs = 20;
// Every blocking step of a peer ends within this time.
constexpr int64_t kPeerWaitMs = 5000;

inline tqsession::Deadline peerDeadline() { return tqsession::Deadline::afterMs(kPeerWaitMs); }

class TestPeer {
public:
    explicit TestPeer(const char* address = "127.0.0.1");
    // A peer with its own security rather than the environment's.
    explicit TestPeer(const tqsession::Security& security, const char* address = "127.0.0.1");
    // Waits for the script to finish.
    ~TestPeer();
    TestPeer(const TestPeer&) = delete;
    TestPeer& operator=(const TestPeer&) = delete;

    bool listening() const { return m_listenFd >= 0; }
    // "127.0.0.1:port" or "[::1]:port".
    std::string hostPort() const;
    // Accepts `connections` connections one after the other and runs
    // `script` on each.
    void run(std::function<void(tqsession::Connection&)> script, int connections = 1);
    // Whether a connection waits to be accepted.
    bool connectionWaiting() const;
    void join();

private:
    std::string m_address;
    tqsession::Security m_security;
    int m_listenFd = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
};

using tqcommon::indexService;
tqsExecuteRemoteDllType serviceNamed(const char* library, const char* entry);

// Peer steps (they record failures with gtest).
tqsession::Hello acceptHello(tqsession::Connection& connection);
std::string readExactly(int fd, size_t count);
void writeAll(int fd, const std::string& bytes);
// Reads frames until the client closes; returns how many arrived.
int countFramesUntilClosed(tqsession::Connection& connection);

// A loopback port on which nothing listens.
uint16_t closedPort();

}  // namespace sessiontest
