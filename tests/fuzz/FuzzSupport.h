// Shared by the fuzz targets: invariant checks that stay on in release builds,
// a reader over the fuzz input, a socket that delivers the input as a peer
// would, and caller memory guarded by a canary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

// NDEBUG builds drop assert(); an invariant of a fuzz target must never be dropped.
#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : fuzzsupport::failCheck(#condition, __FILE__, __LINE__))

namespace fuzzsupport {

[[noreturn]] void failCheck(const char* condition, const char* file, int line);

// Takes bytes off the front of the fuzz input; past its end every byte reads as 0.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    uint8_t byte() { return m_offset < m_size ? m_data[m_offset++] : 0; }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = (value << 8) | byte();
        }
        return value;
    }
    // Everything not taken yet.
    const uint8_t* rest() const { return m_data + m_offset; }
    size_t restSize() const { return m_size - m_offset; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_offset = 0;
};

// `bytes` in heap memory of exactly their size (so that a sanitizer sees any
// read past the end), starting `misalign` bytes into the allocation: XDR
// decodes aligned bodies in place and unaligned ones item by item.
class ExactCopy {
public:
    ExactCopy(const uint8_t* bytes, size_t size, size_t misalign);
    ~ExactCopy();
    ExactCopy(const ExactCopy&) = delete;
    ExactCopy& operator=(const ExactCopy&) = delete;

    const char* data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    char* m_allocation;
    const char* m_data;
    size_t m_size;
};

// Owns a file descriptor.
class UniqueFd {
public:
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd();
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// A stream socket whose far end sends `bytes` and then closes, as a peer
// would. What does not fit the socket at once is sent by a thread; a reader
// that stops early just makes the rest fail to send.
class PeerStream {
public:
    explicit PeerStream(const std::string& bytes);
    ~PeerStream();
    PeerStream(const PeerStream&) = delete;
    PeerStream& operator=(const PeerStream&) = delete;

    // The receiving end; it stays owned by this object until released.
    int fd() const { return m_readFd; }
    int release() {
        const int fd = m_readFd;
        m_readFd = -1;
        return fd;
    }

private:
    std::string m_bytes;
    int m_readFd = -1;
    std::thread m_sender;
};

// 32 bytes of caller memory (the size of the smallest record) followed by a
// canary; under AddressSanitizer the canary is poisoned, so a write into it
// is reported where it happens.
class GuardedRecord {
public:
    static constexpr size_t kRecordSize = 32;
    static constexpr size_t kCanarySize = 32;

    GuardedRecord();
    ~GuardedRecord();
    GuardedRecord(const GuardedRecord&) = delete;
    GuardedRecord& operator=(const GuardedRecord&) = delete;

    char* record() { return m_memory.record; }
    // Whether the record still holds the fill pattern it started with.
    bool recordUntouched() const;
    // Whether the canary still holds its pattern.
    bool canaryIntact();

private:
    struct Memory {
        alignas(8) char record[kRecordSize];
        unsigned char canary[kCanarySize];
    };
    static_assert(sizeof(Memory) == kRecordSize + kCanarySize, "canary right after the record");
    static_assert(kRecordSize % 8 == 0, "poisoning works on 8-byte granules");

    Memory m_memory;
};

// Bytes of a header or body field written big-endian.
void putU32(std::string& out, uint32_t value);
uint32_t getU32(const char* in);

}  // namespace fuzzsupport
