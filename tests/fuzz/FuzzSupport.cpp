#include "FuzzSupport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

namespace fuzzsupport {

namespace {

constexpr char kRecordFill = static_cast<char>(0xA5);
constexpr unsigned char kCanaryFill = 0x5A;

// Sends what the socket takes without waiting; returns the new offset.
size_t sendWithoutWaiting(int fd, const std::string& bytes, size_t offset) {
    while (offset < bytes.size()) {
        const ssize_t sent =
            ::send(fd, bytes.data() + offset, bytes.size() - offset, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            offset += static_cast<size_t>(sent);
        } else if (!(sent < 0 && errno == EINTR)) {
            break;
        }
    }
    return offset;
}

// Sends the rest, waiting for room; stops when the reader has gone.
void sendRest(int fd, const std::string& bytes, size_t offset) {
    while (offset < bytes.size()) {
        const ssize_t sent = ::send(fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
        if (sent > 0) {
            offset += static_cast<size_t>(sent);
        } else if (!(sent < 0 && errno == EINTR)) {
            return;
        }
    }
}

}  // namespace

void failCheck(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "fuzz invariant failed: %s (%s:%d)\n", condition, file, line);
    std::abort();
}

UniqueFd::~UniqueFd() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

ExactCopy::ExactCopy(const uint8_t* bytes, size_t size, size_t misalign)
    : m_allocation(new char[size + misalign]), m_data(m_allocation + misalign), m_size(size) {
    if (size > 0) {
        std::memcpy(m_allocation + misalign, bytes, size);
    }
}

ExactCopy::~ExactCopy() { delete[] m_allocation; }

PeerStream::PeerStream(const std::string& bytes) : m_bytes(bytes) {
    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    m_readFd = fds[0];
    const int sendFd = fds[1];
    const size_t sent = sendWithoutWaiting(sendFd, m_bytes, 0);
    if (sent == m_bytes.size()) {
        ::close(sendFd);
        return;
    }
    m_sender = std::thread([this, sendFd, sent] {
        sendRest(sendFd, m_bytes, sent);
        ::close(sendFd);
    });
}

PeerStream::~PeerStream() {
    // Closing the receiving end first releases a sender still waiting for room.
    if (m_readFd >= 0) {
        ::close(m_readFd);
    }
    if (m_sender.joinable()) {
        m_sender.join();
    }
}

GuardedRecord::GuardedRecord() {
    std::memset(m_memory.record, kRecordFill, sizeof m_memory.record);
    std::memset(m_memory.canary, kCanaryFill, sizeof m_memory.canary);
    ASAN_POISON_MEMORY_REGION(m_memory.canary, sizeof m_memory.canary);
}

GuardedRecord::~GuardedRecord() {
    ASAN_UNPOISON_MEMORY_REGION(m_memory.canary, sizeof m_memory.canary);
}

bool GuardedRecord::recordUntouched() const {
    for (char byte : m_memory.record) {
        if (byte != kRecordFill) {
            return false;
        }
    }
    return true;
}

bool GuardedRecord::canaryIntact() {
    ASAN_UNPOISON_MEMORY_REGION(m_memory.canary, sizeof m_memory.canary);
    bool intact = true;
    for (unsigned char byte : m_memory.canary) {
        intact = intact && byte == kCanaryFill;
    }
    ASAN_POISON_MEMORY_REGION(m_memory.canary, sizeof m_memory.canary);
    return intact;
}

void putU32(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>(value >> shift));
    }
}

uint32_t getU32(const char* in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value = (value << 8) | static_cast<unsigned char>(in[i]);
    }
    return value;
}

}  // namespace fuzzsupport
