// Socket primitives of the session sources (not exported): an owned
// descriptor, readiness waits bounded by a deadline, options, and addresses as
// texts.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "YxError.h"
#include "session/Waits.h"

namespace tqsession::detail {

// Owns a file descriptor; closes it on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

enum class Readiness { Ready, TimedOut, Failed };
// Waits until `fd` is ready for `events` or the deadline runs out; Failed
// leaves errno set.
Readiness waitReady(int fd, short events, const Deadline& deadline);
// waitReady() for a transfer: true when `fd` is ready; otherwise false with
// `error` set to "timed out <activity> <peer>" (and `timedOut`) or to
// "<failure>: <peer> (<errno text>)".
bool awaitTransfer(int fd, short events, const Deadline& deadline, const char* activity,
                   const char* failure, const std::string& peer, bool& timedOut, CYxError& error);

// Clears O_NONBLOCK of a socket made with SOCK_NONBLOCK (and no other status flag).
bool setBlocking(int fd);
bool setNoDelay(int fd);
// "1.2.3.4:port" or "[v6]:port".
std::string formatAddress(const sockaddr* address, socklen_t length);
// Whether `errnoValue` from a socket read or write means the peer went away.
bool isPeerGone(int errnoValue);

}  // namespace tqsession::detail
