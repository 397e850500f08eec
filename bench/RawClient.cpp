#include "RawClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace bench {

namespace {

// Big enough for any reply of the benchmarks.
constexpr size_t kReplyBufferSize = 512;

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("raw client: ") + what + ": " + std::strerror(errno));
}

}  // namespace

RawSocket::RawSocket(uint16_t port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (m_fd < 0) fail("socket");
    const int on = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        ::close(m_fd);
        errno = saved;
        fail("connect");
    }
}

RawSocket::~RawSocket() {
    if (m_fd >= 0) ::close(m_fd);
}

void RawSocket::writeAll(const char* data, size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(m_fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) fail("write");
        data += written;
        length -= static_cast<size_t>(written);
    }
}

void RawSocket::readExactly(char* out, size_t length) {
    while (length > 0) {
        const ssize_t got = ::recv(m_fd, out, length, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) {
            errno = ECONNRESET;
            fail("peer closed");
        }
        if (got < 0) fail("recv");
        out += got;
        length -= static_cast<size_t>(got);
    }
}

void RawSocket::exchange(const std::string& request, size_t replyLength) {
    char reply[kReplyBufferSize];
    if (replyLength > sizeof reply) {
        errno = EMSGSIZE;
        fail("reply too long");
    }
    writeAll(request);
    readExactly(reply, replyLength);
}

void RawSocket::closeGracefully() {
    ::shutdown(m_fd, SHUT_WR);
    char scratch[kReplyBufferSize];
    for (;;) {
        const ssize_t got = ::recv(m_fd, scratch, sizeof scratch, 0);
        if (got > 0 || (got < 0 && errno == EINTR)) continue;
        break;
    }
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace bench
