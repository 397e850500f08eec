// Socket primitives: readiness waits, options and texts for errors.
#include "SocketUtil.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tqwire::detail {

namespace {

// strerror_r comes in two shapes depending on the C library's feature macros.
[[maybe_unused]] std::string strerrorResult(int result, const char* buffer) {
    return result == 0 ? std::string(buffer) : std::string("unknown error");
}
[[maybe_unused]] std::string strerrorResult(const char* result, const char*) {
    return result != nullptr ? std::string(result) : std::string("unknown error");
}

}  // namespace

std::string errnoText(int errnoValue) {
    char buffer[256] = {};
    return strerrorResult(strerror_r(errnoValue, buffer, sizeof buffer), buffer);
}

CYxError makeError(int32_t code, const std::string& text) { return CYxError(code, text.c_str()); }

std::string hexCode(uint32_t code) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

CYxError errnoError(int32_t code, const std::string& what, const std::string& peer,
                    int errnoValue) {
    std::string text = what;
    if (!peer.empty()) text += ": " + peer;
    text += " (" + errnoText(errnoValue) + ")";
    return makeError(code, text);
}

Readiness waitReady(int fd, short events, const Deadline& deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        int rc = ::poll(&entry, 1, deadline.pollTimeoutMs());
        if (rc > 0) return Readiness::Ready;
        if (rc == 0) {
            // poll() may wake a little early; only a spent deadline is a timeout.
            if (deadline.expired()) return Readiness::TimedOut;
            continue;
        }
        if (errno != EINTR) return Readiness::Failed;
    }
}

bool awaitTransfer(int fd, short events, const Deadline& deadline, const char* activity,
                   const char* failure, const std::string& peer, bool& timedOut,
                   CYxError& error) {
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
    int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
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
    if (address->sa_family == AF_INET6) return std::string("[") + host + "]:" + port;
    return std::string(host) + ":" + port;
}

bool isPeerGone(int errnoValue) {
    return errnoValue == EPIPE || errnoValue == ECONNRESET || errnoValue == ECONNABORTED ||
           errnoValue == ENOTCONN;
}

}  // namespace tqwire::detail
