#include "TestPeer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "TqMessages.h"

namespace sessiontest {

TestPeer::TestPeer(const char* address) : TestPeer(tqsession::securityFromEnvironment(), address) {}

TestPeer::TestPeer(const tqsession::Security& security, const char* address)
    : m_address(address), m_security(security) {
    int fd = -1;
    if (!tqsession::listenTcp(address, 0, security, fd, m_port).IsError()) {
        m_listenFd = fd;
    }
}

TestPeer::~TestPeer() {
    join();
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
    }
}

std::string TestPeer::hostPort() const {
    const bool v6 = m_address.find(':') != std::string::npos;
    return (v6 ? "[" + m_address + "]" : m_address) + ":" + std::to_string(m_port);
}

void TestPeer::run(std::function<void(tqsession::Connection&)> script, int connections) {
    m_thread = std::thread([this, script, connections] {
        for (int count = 0; count < connections; ++count) {
            tqsession::Connection connection;
            bool timedOut = false;
            CYxError accepted = tqsession::acceptConnection(m_listenFd, m_security, peerDeadline(),
                                                            timedOut, connection);
            if (accepted.IsError()) {
                ADD_FAILURE() << "peer accept: " << accepted.AsString();
                return;
            }
            script(connection);
        }
    });
}

bool TestPeer::connectionWaiting() const {
    pollfd entry{m_listenFd, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
}

void TestPeer::join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

tqsExecuteRemoteDllType serviceNamed(const char* library, const char* entry) {
    tqsExecuteRemoteDllType service{};
    // NUL-padded fields; the names used here are short.
    std::memcpy(service.remoteLibraryName, library,
                std::min(std::strlen(library), sizeof service.remoteLibraryName));
    std::memcpy(service.remoteEntryName, entry,
                std::min(std::strlen(entry), sizeof service.remoteEntryName));
    return service;
}

tqsession::Hello acceptHello(tqsession::Connection& connection) {
    tqsession::Hello hello;
    bool timedOut = false;
    CYxError result = tqsession::receiveHello(connection, hello, peerDeadline(), timedOut);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    result = tqsession::sendAccept(connection, peerDeadline(), timedOut);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    return hello;
}

std::string readExactly(int fd, size_t count) {
    std::string bytes;
    const tqsession::Deadline deadline = peerDeadline();
    while (bytes.size() < count && !deadline.expired()) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, deadline.pollTimeoutMs()) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t got = ::recv(fd, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
        if (got <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<size_t>(got));
    }
    EXPECT_EQ(bytes.size(), count) << "peer read short";
    return bytes;
}

void writeAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    const tqsession::Deadline deadline = peerDeadline();
    while (sent < bytes.size() && !deadline.expired()) {
        pollfd entry{fd, POLLOUT, 0};
        if (::poll(&entry, 1, deadline.pollTimeoutMs()) <= 0) {
            continue;
        }
        const ssize_t put = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) {
            break;
        }
        sent += static_cast<size_t>(put);
    }
    EXPECT_EQ(sent, bytes.size()) << "peer wrote short";
}

int countFramesUntilClosed(tqsession::Connection& connection) {
    int frames = 0;
    for (;;) {
        tqsession::Frame frame;
        bool timedOut = false;
        CYxError result = connection.receiveFrame(frame, peerDeadline(), timedOut);
        if (result.Code() == tqerr::kPeerClosed) {
            return frames;
        }
        if (result.IsError()) {
            ADD_FAILURE() << "peer receive: " << result.AsString();
            return frames;
        }
        ++frames;
    }
}

uint16_t closedPort() {
    int fd = -1;
    uint16_t port = 0;
    EXPECT_FALSE(tqsession::listenTcp("127.0.0.1", 0, fd, port).IsError());
    ::close(fd);
    return port;
}

}  // namespace sessiontest
