// Both ends of the loopback comparisons. WirePeer is a minimal CI server
// that speaks just enough of the session protocol and answers at once, so
// that what is measured is the client side: one thread serves every
// connection through epoll, HELLO gets ACCEPT, an erase request gets an erase
// response with status 1, prune requests are read and counted. The library
// and the raw baselines (RawSocket) talk to the same peer, so its own cost
// weighs on both alike.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class WirePeer {
public:
    struct Counts {
        uint64_t connections = 0;
        uint64_t erases = 0;
        uint64_t prunes = 0;
        uint64_t dropped = 0;  // connections ended for a bad or oversized frame
    };

    // Listens on 127.0.0.1 (any free port) and serves, on the servers' CPU,
    // until destroyed.
    WirePeer();
    ~WirePeer();
    WirePeer(const WirePeer&) = delete;
    WirePeer& operator=(const WirePeer&) = delete;

    uint16_t port() const { return m_port; }
    // "127.0.0.1:<port>", as a directory names a host.
    std::string host() const;
    size_t acceptLength() const { return m_accept.size(); }
    size_t eraseResponseLength() const { return m_eraseResponse.size(); }
    Counts counts() const;
    // The first frames received (at most 16), whole, in the order they came.
    std::vector<std::string> firstFrames() const;

private:
    void serve();
    void acceptClients();
    // Reads what `fd` sent and answers every whole frame; false when the
    // connection is to be closed.
    bool readFrom(int fd);
    bool answer(int fd, uint32_t code, const char* frame, size_t length);

    int m_listenFd = -1;
    int m_epollFd = -1;
    int m_stopFd = -1;
    uint16_t m_port = 0;
    const std::string m_accept;
    const std::string m_eraseResponse;
    std::map<int, std::string> m_pending;  // by client socket: bytes of frames not yet whole

    std::atomic<uint64_t> m_connections{0}, m_erases{0}, m_prunes{0}, m_dropped{0};
    mutable std::mutex m_framesMutex;
    std::vector<std::string> m_firstFrames;
    std::thread m_thread;
};

// The raw baselines' side of a connection to 127.0.0.1: plain socket calls
// with the socket options the session library sets (blocking, TCP_NODELAY).
class RawSocket {
public:
    // Connects; throws std::runtime_error on failure.
    explicit RawSocket(uint16_t port);
    RawSocket(RawSocket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    RawSocket& operator=(RawSocket&&) = delete;
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;
    // Closes at once, as the session library's destructor does.
    ~RawSocket();

    // One write() unless the socket takes less.
    void writeAll(const std::string& bytes);
    // One request and its reply of `replyLength` bytes (at most 512).
    void exchange(const std::string& request, size_t replyLength);
    // Stops sending, reads until the peer closes, then closes: the peer has
    // read everything by then, as after the session library's Disconnect.
    void closeGracefully();

private:
    int m_fd = -1;
};

}  // namespace bench
