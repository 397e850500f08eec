#include "WirePeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "Affinity.h"
#include "TqMessages.h"
#include "TqWire.h"
#include "WireFrames.h"

namespace bench {

namespace {

constexpr int kMaxEvents = 64;
constexpr int kListenBacklog = 128;

uint32_t readU32(const char* in) {
    uint32_t value;
    std::memcpy(&value, in, sizeof value);
    return ntohl(value);
}

uint16_t readU16(const char* in) {
    uint16_t value;
    std::memcpy(&value, in, sizeof value);
    return ntohs(value);
}

void failWithErrno(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

struct WirePeer::Client {
    int fd = -1;
    size_t filled = 0;
    std::unique_ptr<char[]> buffer{new char[kBufferSize]};
};

WirePeer::WirePeer(bool keepFrames)
    : m_keepFrames(keepFrames), m_accept(acceptFrame()), m_eraseResponse(eraseResponseFrame(1)) {
    CYxError listened = tqwire::listenTcp("127.0.0.1", 0, m_listenFd, m_port);
    if (listened.IsError()) throw std::runtime_error("peer cannot listen: " + listened.AsString());
    m_epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_epollFd < 0 || m_stopFd < 0) failWithErrno("peer cannot set up epoll");
    // The listening socket and the stop signal carry null and the peer
    // itself; clients carry their own record.
    epoll_event listenEvent{EPOLLIN, {nullptr}};
    epoll_event stopEvent{EPOLLIN, {this}};
    if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_listenFd, &listenEvent) != 0 ||
        ::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_stopFd, &stopEvent) != 0) {
        failWithErrno("peer cannot watch its sockets");
    }
    const ServerCpuScope onServerCpu;
    m_thread = std::thread([this] { serve(); });
}

WirePeer::~WirePeer() {
    const uint64_t one = 1;
    if (::write(m_stopFd, &one, sizeof one) != sizeof one) std::terminate();
    m_thread.join();
    for (Client* client : m_clients) {
        ::close(client->fd);
        delete client;
    }
    ::close(m_stopFd);
    ::close(m_epollFd);
    ::close(m_listenFd);
}

std::string WirePeer::host() const { return "127.0.0.1:" + std::to_string(m_port); }

WirePeer::Counts WirePeer::counts() const {
    Counts counts;
    counts.connections = m_connections.load();
    counts.hellos = m_hellos.load();
    counts.erases = m_erases.load();
    counts.prunes = m_prunes.load();
    counts.others = m_others.load();
    counts.dropped = m_dropped.load();
    return counts;
}

std::vector<std::string> WirePeer::frames() const {
    std::lock_guard<std::mutex> lock(m_framesMutex);
    return m_frames;
}

void WirePeer::serve() {
    epoll_event events[kMaxEvents];
    for (;;) {
        const int ready = ::epoll_wait(m_epollFd, events, kMaxEvents, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return;
        for (int i = 0; i < ready; ++i) {
            void* source = events[i].data.ptr;
            if (source == this) return;
            if (source == nullptr) {
                acceptClients();
                continue;
            }
            auto* client = static_cast<Client*>(source);
            if (!readFrom(*client)) closeClient(client);
        }
    }
}

void WirePeer::acceptClients() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto client = std::make_unique<Client>();
        client->fd = fd;
        epoll_event event{EPOLLIN, {client.get()}};
        if (::epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
            ::close(fd);
            continue;
        }
        m_clients.push_back(client.release());
        ++m_connections;
    }
}

bool WirePeer::readFrom(Client& client) {
    const ssize_t got =
        ::recv(client.fd, client.buffer.get() + client.filled, kBufferSize - client.filled, 0);
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (got == 0) return false;  // the client closed: close our side too
    client.filled += static_cast<size_t>(got);
    if (handleFrames(client)) return true;
    ++m_dropped;
    return false;
}

bool WirePeer::handleFrames(Client& client) {
    const char* data = client.buffer.get();
    size_t used = 0;
    while (client.filled - used >= tqwire::kFrameHeaderSize) {
        const char* frame = data + used;
        const uint32_t bodyLength = readU32(frame + 12);
        if (readU32(frame) != tqwire::kFrameMagic || readU16(frame + 4) != tqwire::kFrameVersion ||
            bodyLength > kBufferSize - tqwire::kFrameHeaderSize) {
            return false;
        }
        const size_t length = tqwire::kFrameHeaderSize + bodyLength;
        if (client.filled - used < length) break;
        if (!answer(client, readU32(frame + 8), frame, length)) return false;
        used += length;
    }
    std::memmove(client.buffer.get(), data + used, client.filled - used);
    client.filled -= used;
    return true;
}

bool WirePeer::answer(Client& client, uint32_t code, const char* frame, size_t length) {
    if (m_keepFrames) {
        std::lock_guard<std::mutex> lock(m_framesMutex);
        m_frames.emplace_back(frame, length);
    }
    const std::string* reply = nullptr;
    switch (code) {
        case tqwire::kHelloCode: ++m_hellos; reply = &m_accept; break;
        case tqmsg::kEraseDataReq: ++m_erases; reply = &m_eraseResponse; break;
        case tqmsg::kAfPruneReq: ++m_prunes; break;
        default: ++m_others; break;
    }
    // Replies are tiny and every client reads its reply before it sends
    // again, so a reply always fits the socket at once.
    return reply == nullptr ||
           ::send(client.fd, reply->data(), reply->size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(reply->size());
}

void WirePeer::closeClient(Client* client) {
    ::epoll_ctl(m_epollFd, EPOLL_CTL_DEL, client->fd, nullptr);
    ::close(client->fd);
    m_clients.erase(std::find(m_clients.begin(), m_clients.end(), client));
    delete client;
}

}  // namespace bench
