#include "WirePeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Programs.h"
#include "TqMessages.h"
#include "session/TqWire.h"

namespace bench {

namespace {

constexpr int kMaxEvents = 64;
constexpr size_t kChunkSize = 64 * 1024;
// A larger frame ends its connection.
constexpr uint32_t kMaxBody = 64 * 1024;
constexpr size_t kFramesKept = 16;
constexpr size_t kReplyBufferSize = 512;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void check(const CYxError& result, const char* what) {
    if (result.IsError()) {
        throw std::runtime_error(std::string(what) + ": " + result.AsString());
    }
}

std::string frameOf(uint32_t code, const std::string& body) {
    std::string frame(tqsession::kFrameHeaderSize, '\0');
    tqsession::encodeFrameHeader(code, static_cast<uint32_t>(body.size()),
                                 reinterpret_cast<unsigned char*>(frame.data()));
    return frame + body;
}

std::string acceptFrame() {
    const uint32_t version = htonl(tqsession::kHandshakeVersion);
    return frameOf(tqsession::kAcceptCode, std::string(reinterpret_cast<const char*>(&version), 4));
}

std::string confirmedEraseFrame() {
    tqmsg::EraseDataResp response{};
    response.status = 1;
    const char* record = reinterpret_cast<const char*>(&response);
    size_t length = 0;
    check(tqsession::measureBody(tqmsg::kEraseDataResp, record, sizeof response, length),
          "measure");
    std::string body(length, '\0');
    check(
        tqsession::encodeBody(tqmsg::kEraseDataResp, record, sizeof response, body.data(), length),
        "encode");
    return frameOf(tqmsg::kEraseDataResp, body);
}

}  // namespace

WirePeer::WirePeer() : m_accept(acceptFrame()), m_eraseResponse(confirmedEraseFrame()) {
    check(tqsession::listenTcp("127.0.0.1", 0, m_listenFd, m_port), "peer cannot listen");
    m_epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event listenEvent{EPOLLIN, {}};
    listenEvent.data.fd = m_listenFd;
    epoll_event stopEvent{EPOLLIN, {}};
    stopEvent.data.fd = m_stopFd;
    if (m_epollFd < 0 || m_stopFd < 0 ||
        ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_listenFd, &listenEvent) != 0 ||
        ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_stopFd, &stopEvent) != 0) {
        fail("peer cannot watch its sockets");
    }
    m_thread = std::thread([this] {
        runOnServerCpu();
        serve();
    });
}

WirePeer::~WirePeer() {
    const uint64_t one = 1;
    if (::write(m_stopFd, &one, sizeof one) != sizeof one) {
        std::terminate();
    }
    m_thread.join();
    for (const auto& client : m_pending) {
        ::close(client.first);
    }
    ::close(m_stopFd);
    ::close(m_epollFd);
    ::close(m_listenFd);
}

std::string WirePeer::host() const { return "127.0.0.1:" + std::to_string(m_port); }

WirePeer::Counts WirePeer::counts() const {
    return Counts{m_connections.load(), m_erases.load(), m_prunes.load(), m_dropped.load()};
}

std::vector<std::string> WirePeer::firstFrames() const {
    std::lock_guard<std::mutex> lock(m_framesMutex);
    return m_firstFrames;
}

void WirePeer::serve() {
    epoll_event events[kMaxEvents];
    for (;;) {
        const int ready = ::epoll_wait(m_epollFd, events, kMaxEvents, -1);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == m_stopFd) {
                return;
            }
            if (fd == m_listenFd) {
                acceptClients();
            } else if (!readFrom(fd)) {
                ::close(fd);  // leaves the epoll set with it
                m_pending.erase(fd);
            }
        }
    }
}

void WirePeer::acceptClients() {
    for (int fd;
         (fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        epoll_event event{EPOLLIN, {}};
        event.data.fd = fd;
        m_pending[fd];
        if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
            ::close(fd);
            m_pending.erase(fd);
            continue;
        }
        ++m_connections;
    }
}

bool WirePeer::readFrom(int fd) {
    char chunk[kChunkSize];
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    if (got == 0) {
        return false;  // the client closed: close our side too
    }
    std::string& pending = m_pending[fd];
    pending.append(chunk, static_cast<size_t>(got));
    size_t used = 0;
    for (tqsession::FrameHeader header; pending.size() - used >= tqsession::kFrameHeaderSize;) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(pending.data() + used);
        if (tqsession::decodeFrameHeader(bytes, header).IsError() || header.bodyLength > kMaxBody) {
            ++m_dropped;
            return false;
        }
        const size_t length = tqsession::kFrameHeaderSize + header.bodyLength;
        if (pending.size() - used < length) {
            break;
        }
        if (!answer(fd, header.code, pending.data() + used, length)) {
            return false;
        }
        used += length;
    }
    pending.erase(0, used);
    return true;
}

bool WirePeer::answer(int fd, uint32_t code, const char* frame, size_t length) {
    {
        std::lock_guard<std::mutex> lock(m_framesMutex);
        if (m_firstFrames.size() < kFramesKept) {
            m_firstFrames.emplace_back(frame, length);
        }
    }
    const std::string* reply = nullptr;
    if (code == tqsession::kHelloCode) {
        reply = &m_accept;
    }
    if (code == tqmsg::kEraseDataReq) {
        reply = &m_eraseResponse;
    }
    m_erases += code == tqmsg::kEraseDataReq ? 1 : 0;
    m_prunes += code == tqmsg::kAfPruneReq ? 1 : 0;
    // Replies are small and every client reads its reply before it sends
    // again, so a reply always fits the socket at once.
    return reply == nullptr || ::send(fd, reply->data(), reply->size(), MSG_NOSIGNAL) ==
                                   static_cast<ssize_t>(reply->size());
}

RawSocket::RawSocket(uint16_t port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (m_fd < 0) {
        fail("raw client: socket");
    }
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
        fail("raw client: connect");
    }
}

RawSocket::~RawSocket() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void RawSocket::writeAll(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t written = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            fail("raw client: write");
        }
        done += static_cast<size_t>(written);
    }
}

void RawSocket::exchange(const std::string& request, size_t replyLength) {
    char reply[kReplyBufferSize];
    if (replyLength > sizeof reply) {
        throw std::runtime_error("raw client: reply too long");
    }
    writeAll(request);
    for (size_t done = 0; done < replyLength;) {
        const ssize_t got = ::recv(m_fd, reply + done, replyLength - done, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == 0) {
            errno = ECONNRESET;
        }
        if (got <= 0) {
            fail("raw client: recv");
        }
        done += static_cast<size_t>(got);
    }
}

void RawSocket::closeGracefully() {
    ::shutdown(m_fd, SHUT_WR);
    char scratch[kReplyBufferSize];
    for (ssize_t got = 1; got > 0 || (got < 0 && errno == EINTR);) {
        got = ::recv(m_fd, scratch, sizeof scratch, 0);
    }
    ::close(m_fd);
    m_fd = -1;
}

}  // namespace bench
