// Socket primitives shared by the session sources (not exported).
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "TqWire.h"
#include "YxError.h"

namespace tqwire::detail {

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
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

// The system's text for `errnoValue`.
std::string errnoText(int errnoValue);
// An error `code` with text "<what>: <peer> (<errno text>)".
CYxError errnoError(int32_t code, const std::string& what, const std::string& peer, int errnoValue);
CYxError makeError(int32_t code, const std::string& text);
// A message code as it appears in texts: "0x0E000703".
std::string hexCode(uint32_t code);

// connectTcp() that, with `loopbackOnly`, refuses (kSecurity) every address
// beyond loopback without contacting it. Leaves TCP_NODELAY to the caller
// (Connection::adopt sets it once).
CYxError connectTcp(const HostPort& target, bool loopbackOnly, const Deadline& deadline,
                    bool& timedOut, int& fd, std::string& peer);

enum class Readiness { Ready, TimedOut, Failed };
// Waits until `fd` is ready for `events` or the deadline runs out; Failed
// leaves errno set.
Readiness waitReady(int fd, short events, const Deadline& deadline);
// waitReady() for a transfer: true when `fd` is ready; otherwise false with
// `error` set to "timed out <activity> <peer>" (and `timedOut`) or to
// "<failure>: <peer> (<errno text>)".
bool awaitTransfer(int fd, short events, const Deadline& deadline, const char* activity,
                   const char* failure, const std::string& peer, bool& timedOut,
                   CYxError& error);

bool setBlocking(int fd);
bool setNoDelay(int fd);
// "1.2.3.4:port" or "[v6]:port".
std::string formatAddress(const sockaddr* address, socklen_t length);
// Whether `errnoValue` from a socket read or write means the peer went away.
bool isPeerGone(int errnoValue);

// Runs `operation`, turning an exception into an error: the session's calls
// report failures through their result and never throw.
template <typename Operation>
CYxError guarded(Operation operation) noexcept {
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        return CYxError(tqerr::kNoMemory, "out of memory");
    } catch (const std::exception& failure) {
        return CYxError(tqerr::kIo, failure.what());
    } catch (...) {
        return CYxError(tqerr::kIo, "unexpected failure");
    }
}

}  // namespace tqwire::detail
