// Frames as the protocol lays them out, read by hand: the reference the fuzz
// targets hold FrameReader and the protocol code above it to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzsupport {

struct ReferenceFrame {
    size_t headerOffset;
    uint32_t code;
    std::string body;
};

struct ReferenceStream {
    std::vector<ReferenceFrame> frames;
    // What ends the stream: kSecurity when a frame would start with the
    // first bytes of a TLS record (the peer speaks TLS to a plain reader),
    // kPeerClosed when the bytes run out (mid-frame or not), kProtocol for a
    // bad magic or version, kFrameTooLarge for a body above the limit.
    int32_t endError = 0;
    // Where the header that ended the stream starts, or where the bytes ran out.
    size_t endOffset = 0;
};

// Splits the bytes a peer sends into whole frames, as a reader without TLS
// takes them.
ReferenceStream splitFrames(const std::string& stream);

}  // namespace fuzzsupport
