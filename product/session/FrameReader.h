// Reading whole frames from a socket. A blocking socket waits inside recv()
// under its receive timeout (set by the reader); a non-blocking one is polled.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "TqPlatformApi.h"
#include "YxError.h"
#include "session/Frame.h"
#include "session/Waits.h"

namespace tqsession {

namespace detail {
class TlsStream;
}  // namespace detail

class TQ_PLATFORM_API FrameReader {
public:
    static constexpr size_t kBufferSize = size_t{16} * 1024;

    FrameReader();
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Forget every buffered byte (for a new connection).
    void clear();
    // Reads through `tls` (null: straight from the socket) from now on.
    void readThrough(detail::TlsStream* tls) { m_tls = tls; }
    // Whether the last failed read saw the peer close at a frame boundary.
    bool peerClosedAtBoundary() const { return m_peerClosedAtBoundary; }
    // Whether no byte beyond the frame last returned is buffered.
    bool atFrameBoundary() const { return !m_haveHeader && buffered() == m_returnedBytes; }
    // Reads the next whole frame from `fd` into `out`; its body stays valid
    // until the next call or clear(). False with `error` set on failure. When
    // the deadline runs out the bytes read so far are kept for the next call;
    // after any other failure the stream is out of step and the reader must be
    // cleared before reuse.
    bool read(int fd, const std::string& peer, const Deadline& deadline, bool& timedOut, Frame& out,
              CYxError& error);
    // Discards the bytes already buffered and returns how many there were.
    size_t discardBuffered();

    // For an event loop: reads what has arrived of the next frame without
    // waiting, never past its end, refusing a body above `maxBody`. Complete
    // once it is whole: read() then returns it without I/O. Failed sets
    // `error` (the stream is out of step).
    enum class Progress { Complete, WantRead, WantWrite, Failed };
    Progress readAvailable(int fd, const std::string& peer, uint32_t maxBody, CYxError& error);

private:
    static constexpr int kTimeoutUnknown = -1;

    size_t buffered() const { return m_end - m_begin; }
    void releaseReturnedFrame();
    void compact();
    bool receiveSome(int fd, const std::string& peer, char* into, size_t room, bool midFrame,
                     const Deadline& deadline, bool& timedOut, size_t& got, CYxError& error);
    bool receiveSomeTls(int fd, const std::string& peer, char* into, size_t room, bool midFrame,
                        const Deadline& deadline, bool& timedOut, size_t& got, CYxError& error);
    bool peerClosed(const std::string& peer, bool midFrame, CYxError& error);
    bool nextFrameLength(const std::string& peer, uint32_t maxBody, size_t& length,
                         CYxError& error) const;
    Progress receiveNow(int fd, const std::string& peer, char* into, size_t room, size_t& got,
                        CYxError& error);
    bool setReceiveTimeout(int fd, int milliseconds);
    bool fillAtLeast(int fd, const std::string& peer, size_t count, const Deadline& deadline,
                     bool& timedOut, CYxError& error);
    bool readLargeBody(int fd, const std::string& peer, const Deadline& deadline, bool& timedOut,
                       CYxError& error);

    // Word-aligned, so that bodies can be decoded in place.
    alignas(8) std::array<char, kBufferSize> m_buffer;
    size_t m_begin = 0;
    size_t m_end = 0;
    size_t m_returnedBytes = 0;
    bool m_haveHeader = false;
    FrameHeader m_header;
    std::unique_ptr<char[]> m_largeBody;
    size_t m_largeFilled = 0;
    bool m_largeReturned = false;
    // The receive timeout last set on the socket (a cache to spare system calls).
    int m_receiveTimeoutMs = kTimeoutUnknown;
    detail::TlsStream* m_tls = nullptr;
    bool m_peerClosedAtBoundary = false;
};

}  // namespace tqsession
