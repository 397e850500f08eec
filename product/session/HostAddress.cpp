// Host names: parsing "name[:port]", resolving, connecting and listening.
#include "session/HostAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/Integer.h"
#include "session/Errors.h"
#include "session/Sockets.h"
#include "session/TlsContext.h"

namespace tqsession {

using detail::errnoError;
using detail::makeError;
using detail::UniqueFd;

namespace {

// Longest "name[:port]" accepted: a maximal DNS name plus brackets and a port.
constexpr size_t kMaxHostText = NI_MAXHOST + 8;

CYxError invalidHost(const std::string& text, const char* why) {
    return makeError(tqerr::kInvalidArgument, "invalid host \"" + text + "\": " + why);
}

bool parsePort(const std::string& digits, uint16_t& port) {
    int64_t value = 0;
    if (!tqcommon::parseInteger(digits, 1, 65535, value, tqcommon::Notation::DigitsOnly)) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

CYxError parseBracketed(const std::string& text, HostPort& out) {
    const size_t close = text.find(']');
    if (close == std::string::npos) {
        return invalidHost(text, "missing ']'");
    }
    if (close == 1) {
        return invalidHost(text, "empty address");
    }
    const std::string rest = text.substr(close + 1);
    uint16_t port = kDefaultPort;
    if (!rest.empty() && (rest[0] != ':' || !parsePort(rest.substr(1), port))) {
        return invalidHost(text, "bad port");
    }
    out.host = text.substr(1, close - 1);
    out.port = port;
    return CYxError();
}

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

CYxError resolve(const char* host, uint16_t port, int flags, AddrInfoList& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | flags;
    const std::string service = std::to_string(port);
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host, service.c_str(), &hints, &list);
    out.reset(list);
    if (rc == 0) {
        return CYxError();
    }
    const std::string name = host != nullptr ? host : "*";
    if (rc == EAI_MEMORY) {
        return makeError(tqerr::kNoMemory, "out of memory resolving " + name);
    }
    if (rc == EAI_SYSTEM) {
        return errnoError(tqerr::kHostNotFound, "cannot resolve host", name, errno);
    }
    return makeError(tqerr::kHostNotFound,
                     "host not found: " + name + " (" + ::gai_strerror(rc) + ")");
}

int32_t connectErrorCode(int errnoValue) {
    switch (errnoValue) {
        case ETIMEDOUT: return tqerr::kTimedOut;
        case ECONNREFUSED:
        case ENETUNREACH:
        case EHOSTUNREACH:
        case EHOSTDOWN:
        case ECONNRESET:
        case EADDRNOTAVAIL: return tqerr::kConnectionRefused;
        default: return tqerr::kIo;
    }
}

CYxError connectFailure(int errnoValue, const std::string& peer, bool& timedOut) {
    const int32_t code = connectErrorCode(errnoValue);
    if (code == tqerr::kTimedOut) {
        timedOut = true;
    }
    const char* what = code == tqerr::kConnectionRefused ? "connection refused"
                       : code == tqerr::kTimedOut        ? "timed out connecting"
                                                         : "cannot connect";
    return errnoError(code, what, peer, errnoValue);
}

// One connection attempt of a non-blocking socket, bounded by the deadline.
CYxError connectOne(int fd, const addrinfo& address, const std::string& peer,
                    const Deadline& deadline, bool& timedOut) {
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) {
        return CYxError();
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        return connectFailure(errno, peer, timedOut);
    }
    switch (detail::waitReady(fd, POLLOUT, deadline)) {
        case detail::Readiness::TimedOut:
            timedOut = true;
            return makeError(tqerr::kTimedOut, "timed out connecting to " + peer);
        case detail::Readiness::Failed:
            return errnoError(tqerr::kIo, "cannot connect", peer, errno);
        case detail::Readiness::Ready: break;
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
        return errnoError(tqerr::kIo, "cannot connect", peer, errno);
    }
    return pending == 0 ? CYxError() : connectFailure(pending, peer, timedOut);
}

// A non-blocking socket for `address`; -1 with `error` naming `name` when
// none can be made.
int openSocket(const addrinfo& address, const std::string& name, CYxError& error) {
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            address.ai_protocol);
    if (fd < 0) {
        error = errnoError(tqerr::kIo, "cannot create socket for", name, errno);
    }
    return fd;
}

uint16_t portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

CYxError listenOn(const char* address, uint16_t port, bool loopbackOnly, int& fd,
                  uint16_t& boundPort) {
    AddrInfoList addresses;
    CYxError result = resolve(address, port, AI_PASSIVE | AI_NUMERICHOST, addresses);
    if (result.IsError()) {
        return result;
    }

    for (const addrinfo* entry = addresses.get(); entry != nullptr; entry = entry->ai_next) {
        const std::string name = detail::formatAddress(entry->ai_addr, entry->ai_addrlen);
        if (loopbackOnly && !detail::isLoopback(entry->ai_addr)) {
            return detail::plaintextRefused(name, true);
        }
        UniqueFd socketFd(openSocket(*entry, name, result));
        if (!socketFd.valid()) {
            continue;
        }
        int on = 1;
        ::setsockopt(socketFd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(socketFd.get(), entry->ai_addr, entry->ai_addrlen) != 0 ||
            ::listen(socketFd.get(), SOMAXCONN) != 0) {
            result = errnoError(tqerr::kIo, "cannot listen on", name, errno);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (::getsockname(socketFd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            return errnoError(tqerr::kIo, "cannot read address of", name, errno);
        }
        boundPort = portOf(bound);
        fd = socketFd.release();
        return CYxError();
    }
    return result;
}

}  // namespace

CYxError parseHostPort(const char* text, HostPort& out) {
    if (text == nullptr) {
        return makeError(tqerr::kInvalidArgument, "no host given");
    }
    const size_t length = ::strnlen(text, kMaxHostText + 1);
    const std::string host(text, length);
    if (length > kMaxHostText) {
        return invalidHost(host.substr(0, 32) + "...", "too long");
    }
    if (host.empty()) {
        return invalidHost(host, "empty");
    }
    if (host[0] == '[') {
        return parseBracketed(host, out);
    }

    const size_t colon = host.find(':');
    if (colon == std::string::npos || host.find(':', colon + 1) != std::string::npos) {
        // No colon, or several: a bare IPv6 literal carries no port.
        out.host = host;
        out.port = kDefaultPort;
        return CYxError();
    }
    uint16_t port = kDefaultPort;
    if (colon == 0) {
        return invalidHost(host, "empty name");
    }
    if (!parsePort(host.substr(colon + 1), port)) {
        return invalidHost(host, "bad port");
    }
    out.host = host.substr(0, colon);
    out.port = port;
    return CYxError();
}

CYxError connectTcp(const HostPort& target, const Deadline& deadline, bool& timedOut, int& fd,
                    std::string& peer) {
    CYxError result = detail::connectTcp(target, false, deadline, timedOut, fd, peer);
    if (!result.IsError()) {
        detail::setNoDelay(fd);
    }
    return result;
}

CYxError detail::connectTcp(const HostPort& target, bool loopbackOnly, const Deadline& deadline,
                            bool& timedOut, int& fd, std::string& peer) {
    AddrInfoList addresses;
    CYxError result = resolve(target.host.c_str(), target.port, 0, addresses);
    if (result.IsError()) {
        return result;
    }

    for (const addrinfo* address = addresses.get(); address != nullptr;
         address = address->ai_next) {
        peer = detail::formatAddress(address->ai_addr, address->ai_addrlen);
        if (loopbackOnly && !detail::isLoopback(address->ai_addr)) {
            result = detail::plaintextRefused(peer, false);
            continue;
        }
        UniqueFd socketFd(openSocket(*address, peer, result));
        if (!socketFd.valid()) {
            continue;
        }
        result = connectOne(socketFd.get(), *address, peer, deadline, timedOut);
        if (!result.IsError()) {
            fd = socketFd.release();
            return result;
        }
        if (timedOut) {
            return result;  // the whole wait is spent
        }
    }
    return result;
}

CYxError listenTcp(const char* address, uint16_t port, int& fd, uint16_t& boundPort) {
    return listenTcp(address, port, securityFromEnvironment(), fd, boundPort);
}

CYxError listenTcp(const char* address, uint16_t port, const Security& security, int& fd,
                   uint16_t& boundPort) {
    return detail::guarded([&] {
        SSL_CTX* context = nullptr;
        CYxError result;
        if (security.tlsEnabled() &&
            !detail::tlsContext(detail::TlsRole::Server, security, context, result)) {
            return result;
        }
        return listenOn(address, port, security.loopbackOnly(), fd, boundPort);
    });
}

}  // namespace tqsession
