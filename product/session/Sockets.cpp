// Socket primitives: readiness waits, options and addresses as texts.
#include "session/Sockets.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>

#include "session/Errors.h"

namespace tqsession::detail {

Readiness waitReady(int fd, short events, const Deadline& deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        int rc = ::poll(&entry, 1, deadline.pollTimeoutMs());
        if (rc > 0) {
            return Readiness::Ready;
        }
        if (rc == 0) {
            // poll() may wake a little early; only a spent deadline is a timeout.
            if (deadline.expired()) {
                return Readiness::TimedOut;
            }
            continue;
        }
        if (errno != EINTR) {
            return Readiness::Failed;
        }
    }
}

bool awaitTransfer(int fd, short events, const Deadline& deadline, const char* activity,
                   const char* failure, const std::string& peer, bool& timedOut, CYxError& error) {
    switch (waitReady(fd, events, deadline)) {
        case Readiness::Ready: return true;
        case Readiness::TimedOut:
            timedOut = true;
            error = makeError(tqerr::kTimedOut, std::string("timed out ") + activity + " " + peer);
            return false;
        case Readiness::Failed: break;
    }
    error = errnoError(tqerr::kIo, failure, peer, errno);
    return false;
}

bool setBlocking(int fd) {
    // The sockets of this library carry no status flag but O_NONBLOCK (made
    // with SOCK_NONBLOCK), so there is nothing to read back first.
    return ::fcntl(fd, F_SETFL, 0) == 0;
}

bool setNoDelay(int fd) {
    int on = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

std::string formatAddress(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST] = {};
    char port[NI_MAXSERV] = {};
    if (::getnameinfo(address, length, host, sizeof host, port, sizeof port,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "unknown address";
    }
    if (address->sa_family == AF_INET6) {
        return std::string("[") + host + "]:" + port;
    }
    return std::string(host) + ":" + port;
}

bool isPeerGone(int errnoValue) {
    return errnoValue == EPIPE || errnoValue == ECONNRESET || errnoValue == ECONNABORTED ||
           errnoValue == ENOTCONN;
}

}  // namespace tqsession::detail
