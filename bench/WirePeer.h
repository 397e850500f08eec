// A minimal CI server for the benchmarks: it speaks just enough of the
// session protocol and answers at once, so that what is measured is the
// client side. One thread serves every connection through epoll: HELLO gets
// ACCEPT, an erase request gets an erase response with status 1, prune
// requests are read and counted. The same peer serves the library and the
// raw baselines, so its own cost weighs on both alike.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class WirePeer {
public:
    // Frames are read whole into a buffer of this size; a larger frame ends
    // its connection.
    static constexpr size_t kBufferSize = 64 * 1024;

    struct Counts {
        uint64_t connections = 0;
        uint64_t hellos = 0;
        uint64_t erases = 0;
        uint64_t prunes = 0;
        uint64_t others = 0;   // frames of any other code, answered with nothing
        uint64_t dropped = 0;  // connections ended for a bad or oversized frame
    };

    // Listens on 127.0.0.1 (any free port) and serves until destroyed.
    // `keepFrames`: keep a copy of every frame received, for tests.
    explicit WirePeer(bool keepFrames = false);
    ~WirePeer();
    WirePeer(const WirePeer&) = delete;
    WirePeer& operator=(const WirePeer&) = delete;

    uint16_t port() const { return m_port; }
    // "127.0.0.1:<port>", as a directory names a host.
    std::string host() const;
    Counts counts() const;
    // The frames received so far (headers included), when keeping them.
    std::vector<std::string> frames() const;

private:
    struct Client;

    void serve();
    void acceptClients();
    // False when the connection is to be closed.
    bool readFrom(Client& client);
    bool handleFrames(Client& client);
    bool answer(Client& client, uint32_t code, const char* frame, size_t length);
    void closeClient(Client* client);

    int m_listenFd = -1;
    int m_epollFd = -1;
    int m_stopFd = -1;
    uint16_t m_port = 0;
    const bool m_keepFrames;
    const std::string m_accept;
    const std::string m_eraseResponse;

    std::atomic<uint64_t> m_connections{0}, m_hellos{0}, m_erases{0}, m_prunes{0}, m_others{0},
        m_dropped{0};
    mutable std::mutex m_framesMutex;
    std::vector<std::string> m_frames;
    std::vector<Client*> m_clients;
    std::thread m_thread;
};

}  // namespace bench
