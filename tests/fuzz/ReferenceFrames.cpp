#include "ReferenceFrames.h"

#include "FuzzSupport.h"
#include "session/TqWire.h"

namespace fuzzsupport {

namespace {

constexpr size_t kMagicOffset = 0;
constexpr size_t kVersionOffset = 4;
constexpr size_t kCodeOffset = 8;
constexpr size_t kLengthOffset = 12;

// A TLS record starts with its type (handshake 0x16 or alert 0x15) and the
// major version 3.
constexpr unsigned char kTlsHandshakeRecord = 0x16;
constexpr unsigned char kTlsAlertRecord = 0x15;
constexpr unsigned char kTlsMajorVersion = 0x03;

bool startsLikeTls(const std::string& stream, size_t at) {
    if (stream.size() - at < 2) {
        return false;
    }
    const auto type = static_cast<unsigned char>(stream[at]);
    return (type == kTlsHandshakeRecord || type == kTlsAlertRecord) &&
           static_cast<unsigned char>(stream[at + 1]) == kTlsMajorVersion;
}

// The error a header of 16 bytes calls for, or kOk.
int32_t headerError(const char* header) {
    const uint32_t version = getU32(header + kVersionOffset) >> 16;
    if (getU32(header + kMagicOffset) != tqsession::kFrameMagic ||
        version != tqsession::kFrameVersion) {
        return tqerr::kProtocol;
    }
    return getU32(header + kLengthOffset) > tqsession::kMaxBodyLength ? tqerr::kFrameTooLarge
                                                                      : tqerr::kOk;
}

}  // namespace

ReferenceStream splitFrames(const std::string& stream) {
    ReferenceStream out;
    size_t at = 0;
    for (;;) {
        out.endOffset = at;
        if (startsLikeTls(stream, at)) {
            out.endError = tqerr::kSecurity;
            return out;
        }
        if (stream.size() - at < tqsession::kFrameHeaderSize) {
            out.endError = tqerr::kPeerClosed;
            return out;
        }
        const char* header = stream.data() + at;
        out.endError = headerError(header);
        if (out.endError != tqerr::kOk) {
            return out;
        }
        const size_t bodyLength = getU32(header + kLengthOffset);
        if (stream.size() - at - tqsession::kFrameHeaderSize < bodyLength) {
            out.endError = tqerr::kPeerClosed;
            return out;
        }
        out.frames.push_back({at, getU32(header + kCodeOffset),
                              stream.substr(at + tqsession::kFrameHeaderSize, bodyLength)});
        at += tqsession::kFrameHeaderSize + bodyLength;
    }
}

}  // namespace fuzzsupport
