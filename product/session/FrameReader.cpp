// Reading whole frames from a socket, straight or through TLS.
#include "session/FrameReader.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "session/Errors.h"
#include "session/Sockets.h"
#include "session/TlsStream.h"

namespace tqsession {

using detail::errnoError;
using detail::makeError;

FrameReader::FrameReader() = default;
FrameReader::~FrameReader() = default;

void FrameReader::clear() {
    m_begin = m_end = m_returnedBytes = 0;
    m_haveHeader = false;
    m_largeBody.reset();
    m_largeFilled = 0;
    m_largeReturned = false;
    m_receiveTimeoutMs = kTimeoutUnknown;
    m_tls = nullptr;
    m_peerClosedAtBoundary = false;
}

size_t FrameReader::discardBuffered() {
    releaseReturnedFrame();
    const size_t count = buffered();
    m_begin = m_end = 0;
    return count;
}

void FrameReader::releaseReturnedFrame() {
    m_begin += m_returnedBytes;
    m_returnedBytes = 0;
    if (m_largeReturned) {
        m_largeBody.reset();
        m_largeFilled = 0;
        m_largeReturned = false;
    }
    if (m_begin == m_end) {
        m_begin = m_end = 0;
    }
}

void FrameReader::compact() {
    std::memmove(m_buffer.data(), m_buffer.data() + m_begin, buffered());
    m_end -= m_begin;
    m_begin = 0;
}

// Reads what has arrived, at most `room` bytes, into `into`. The wait rides
// on the socket's receive timeout, so that data already there or arriving in
// time costs a single system call; a non-blocking socket, or a timeout that
// fires a little early, falls back to waiting with poll().
bool FrameReader::receiveSome(int fd, const std::string& peer, char* into, size_t room,
                              bool midFrame, const Deadline& deadline, bool& timedOut, size_t& got,
                              CYxError& error) {
    if (m_tls != nullptr) {
        return receiveSomeTls(fd, peer, into, room, midFrame, deadline, timedOut, got, error);
    }
    for (;;) {
        const int waitMs = deadline.pollTimeoutMs();
        const bool mayBlock = waitMs > 0 && setReceiveTimeout(fd, waitMs);
        const ssize_t count = ::recv(fd, into, room, mayBlock ? 0 : MSG_DONTWAIT);
        if (count > 0) {
            got = static_cast<size_t>(count);
            return true;
        }
        if (count == 0) {
            return peerClosed(peer, midFrame, error);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            const int32_t code = detail::isPeerGone(errno) ? tqerr::kPeerClosed : tqerr::kIo;
            error = errnoError(code, "cannot receive from", peer, errno);
            return false;
        }
        if (!detail::awaitTransfer(fd, POLLIN, deadline, "receiving from", "cannot receive from",
                                   peer, timedOut, error)) {
            return false;
        }
    }
}

// The same through TLS. A record that arrived whole is read without a wait;
// only when TLS needs more from the socket does the reader poll it.
bool FrameReader::receiveSomeTls(int fd, const std::string& peer, char* into, size_t room,
                                 bool midFrame, const Deadline& deadline, bool& timedOut,
                                 size_t& got, CYxError& error) {
    for (;;) {
        const int waitMs = deadline.pollTimeoutMs();
        const bool mayBlock = waitMs > 0 && setReceiveTimeout(fd, waitMs);
        short awaited = POLLIN;
        switch (m_tls->read(into, room, mayBlock, peer, got, error)) {
            case detail::TlsStream::Io::Done: return true;
            case detail::TlsStream::Io::Closed: return peerClosed(peer, midFrame, error);
            case detail::TlsStream::Io::Failed: return false;
            case detail::TlsStream::Io::WantRead: break;
            case detail::TlsStream::Io::WantWrite: awaited = POLLOUT; break;
        }
        if (!detail::awaitTransfer(fd, awaited, deadline, "receiving from", "cannot receive from",
                                   peer, timedOut, error)) {
            return false;
        }
    }
}

bool FrameReader::peerClosed(const std::string& peer, bool midFrame, CYxError& error) {
    m_peerClosedAtBoundary = !midFrame;
    error = makeError(tqerr::kPeerClosed, (midFrame ? "peer closed the connection mid-frame: "
                                                    : "peer closed the connection: ") +
                                              peer);
    return false;
}

// Sets the socket's receive timeout unless it already has that value.
bool FrameReader::setReceiveTimeout(int fd, int milliseconds) {
    if (milliseconds == m_receiveTimeoutMs) {
        return true;
    }
    timeval timeout{milliseconds / 1000, static_cast<suseconds_t>(milliseconds % 1000) * 1000};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        return false;
    }
    m_receiveTimeoutMs = milliseconds;
    return true;
}

// Reads until at least `count` bytes (at most kBufferSize) are buffered.
bool FrameReader::fillAtLeast(int fd, const std::string& peer, size_t count,
                              const Deadline& deadline, bool& timedOut, CYxError& error) {
    while (buffered() < count) {
        if (kBufferSize - m_begin < count) {
            compact();
        }
        size_t got = 0;
        const bool midFrame = m_haveHeader || buffered() > 0;
        if (!receiveSome(fd, peer, m_buffer.data() + m_end, kBufferSize - m_end, midFrame, deadline,
                         timedOut, got, error)) {
            return false;
        }
        m_end += got;
    }
    return true;
}

// A body larger than the buffer goes to memory of its own; what is already
// buffered moves there first and the rest is read straight into it.
bool FrameReader::readLargeBody(int fd, const std::string& peer, const Deadline& deadline,
                                bool& timedOut, CYxError& error) {
    const size_t length = m_header.bodyLength;
    if (!m_largeBody) {
        m_largeBody.reset(new char[length]);
        m_largeFilled = std::min(buffered(), length);
        std::memcpy(m_largeBody.get(), m_buffer.data() + m_begin, m_largeFilled);
        m_begin += m_largeFilled;
    }
    while (m_largeFilled < length) {
        size_t got = 0;
        if (!receiveSome(fd, peer, m_largeBody.get() + m_largeFilled, length - m_largeFilled, true,
                         deadline, timedOut, got, error)) {
            return false;
        }
        m_largeFilled += got;
    }
    return true;
}

// The length of the frame that begins the buffer, once its header is there
// (the header alone before); false with `error` for a header that breaks the
// stream or announces a body above `maxBody`.
bool FrameReader::nextFrameLength(const std::string& peer, uint32_t maxBody, size_t& length,
                                  CYxError& error) const {
    length = kFrameHeaderSize;
    if (buffered() < kFrameHeaderSize) {
        return true;
    }
    const auto* start = reinterpret_cast<const unsigned char*>(m_buffer.data() + m_begin);
    if (m_tls == nullptr && detail::looksLikeTlsRecord(start, buffered())) {
        error = makeError(tqerr::kSecurity, "peer speaks TLS: " + peer +
                                                " sent a TLS record where a frame was due "
                                                "(TLS is not configured here)");
        return false;
    }
    FrameHeader header;
    error = decodeFrameHeader(start, header);
    if (!error.IsError() && header.bodyLength > maxBody) {
        error = makeError(tqerr::kFrameTooLarge, "frame of " + std::to_string(header.bodyLength) +
                                                     " bytes from " + peer + " where at most " +
                                                     std::to_string(maxBody) + " were due");
    }
    length += header.bodyLength;
    return !error.IsError();
}

// One read without waiting, of at most `room` bytes.
FrameReader::Progress FrameReader::receiveNow(int fd, const std::string& peer, char* into,
                                              size_t room, size_t& got, CYxError& error) {
    if (m_tls != nullptr) {
        switch (m_tls->read(into, room, false, peer, got, error)) {
            case detail::TlsStream::Io::Done: return Progress::Complete;
            case detail::TlsStream::Io::WantRead: return Progress::WantRead;
            case detail::TlsStream::Io::WantWrite: return Progress::WantWrite;
            case detail::TlsStream::Io::Closed: peerClosed(peer, buffered() > 0, error); break;
            case detail::TlsStream::Io::Failed: break;
        }
        return Progress::Failed;
    }
    for (;;) {
        const ssize_t count = ::recv(fd, into, room, MSG_DONTWAIT);
        if (count > 0) {
            got = static_cast<size_t>(count);
            return Progress::Complete;
        }
        if (count == 0) {
            peerClosed(peer, buffered() > 0, error);
            return Progress::Failed;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return Progress::WantRead;
        }
        const int32_t code = detail::isPeerGone(errno) ? tqerr::kPeerClosed : tqerr::kIo;
        error = errnoError(code, "cannot receive from", peer, errno);
        return Progress::Failed;
    }
}

FrameReader::Progress FrameReader::readAvailable(int fd, const std::string& peer, uint32_t maxBody,
                                                 CYxError& error) {
    if (m_haveHeader) {  // read() left a header behind: not for this use
        error = makeError(tqerr::kProtocol, "frame already begun from " + peer);
        return Progress::Failed;
    }
    for (;;) {
        size_t need = 0;
        if (!nextFrameLength(peer, maxBody, need, error)) {
            return Progress::Failed;
        }
        if (buffered() >= need) {
            return Progress::Complete;
        }
        if (kBufferSize - m_begin < need) {
            compact();
        }
        size_t got = 0;
        const Progress progress =
            receiveNow(fd, peer, m_buffer.data() + m_end, need - buffered(), got, error);
        if (progress != Progress::Complete) {
            return progress;
        }
        m_end += got;
    }
}

bool FrameReader::read(int fd, const std::string& peer, const Deadline& deadline, bool& timedOut,
                       Frame& out, CYxError& error) {
    releaseReturnedFrame();
    m_peerClosedAtBoundary = false;
    if (!m_haveHeader) {
        const bool filled = fillAtLeast(fd, peer, kFrameHeaderSize, deadline, timedOut, error);
        const auto* start = reinterpret_cast<const unsigned char*>(m_buffer.data() + m_begin);
        if (m_tls == nullptr && !timedOut && detail::looksLikeTlsRecord(start, buffered())) {
            error = makeError(tqerr::kSecurity, "peer speaks TLS: " + peer +
                                                    " sent a TLS record where a frame was due "
                                                    "(TLS is not configured here)");
            return false;
        }
        if (!filled) {
            return false;
        }
        error = decodeFrameHeader(start, m_header);
        if (error.IsError()) {
            return false;
        }
        m_begin += kFrameHeaderSize;
        m_haveHeader = true;
    }
    const size_t length = m_header.bodyLength;
    if (length <= kBufferSize) {
        if (!fillAtLeast(fd, peer, length, deadline, timedOut, error)) {
            return false;
        }
        out.body = m_buffer.data() + m_begin;
        m_returnedBytes = length;
    } else {
        if (!readLargeBody(fd, peer, deadline, timedOut, error)) {
            return false;
        }
        out.body = m_largeBody.get();
        m_largeReturned = true;
    }
    out.code = m_header.code;
    out.reserved = m_header.reserved;
    out.bodyLength = m_header.bodyLength;
    m_haveHeader = false;
    return true;
}

}  // namespace tqsession
