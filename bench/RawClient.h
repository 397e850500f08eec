// The raw baselines' side of a connection: plain socket calls with the same
// socket options the session library sets (blocking mode, TCP_NODELAY).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

class RawSocket {
public:
    // Connects to 127.0.0.1:`port`; throws std::runtime_error on failure.
    explicit RawSocket(uint16_t port);
    RawSocket(RawSocket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    RawSocket& operator=(RawSocket&&) = delete;
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;
    // Closes at once, as the library's session destructor does.
    ~RawSocket();

    int fd() const { return m_fd; }

    // Writes `length` bytes; one write() unless the socket takes less.
    void writeAll(const char* data, size_t length);
    void writeAll(const std::string& bytes) { writeAll(bytes.data(), bytes.size()); }
    // Reads exactly `length` bytes into `out`.
    void readExactly(char* out, size_t length);
    // One request and its reply of `replyLength` bytes.
    void exchange(const std::string& request, size_t replyLength);
    // Stops sending, reads until the peer closes, then closes: the peer has
    // read everything by then (what the library's Disconnect does).
    void closeGracefully();

private:
    int m_fd = -1;
};

}  // namespace bench
