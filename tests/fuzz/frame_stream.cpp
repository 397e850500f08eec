// Fuzz target: what a host reads from a CI server. The input is the byte
// stream the peer sends; FrameReader reads it from a socket until it fails.
// Each frame must be the one a reading by hand finds (ReferenceFrames), every
// header also goes through decodeFrameHeader, and the read must end with the
// error the bytes call for. Every body is then decoded as a receive decodes
// it (BodyChecks), with one buffer reused across the stream as a host reuses
// its own.
#include <cstddef>
#include <cstdint>
#include <string>

#include "BodyChecks.h"
#include "FuzzSupport.h"
#include "ReferenceFrames.h"
#include "session/TqWire.h"

namespace {

using fuzzsupport::getU32;

constexpr int64_t kReadWaitMs = 10 * 1000;
constexpr char kPeerName[] = "fuzz peer";

// decodeFrameHeader reports every field of the header and accepts it exactly
// when the reading by hand does.
void checkHeader(const std::string& stream, size_t offset, int32_t expected) {
    const char* bytes = stream.data() + offset;
    tqsession::FrameHeader header;
    const CYxError result =
        tqsession::decodeFrameHeader(reinterpret_cast<const unsigned char*>(bytes), header);
    FUZZ_CHECK(result.Code() == expected);
    FUZZ_CHECK(header.magic == getU32(bytes) && header.version == getU32(bytes + 4) >> 16);
    FUZZ_CHECK(header.reserved == (getU32(bytes + 4) & 0xFFFF));
    FUZZ_CHECK(header.code == getU32(bytes + 8) && header.bodyLength == getU32(bytes + 12));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string stream(reinterpret_cast<const char*>(data), size);
    const fuzzsupport::ReferenceStream expected = fuzzsupport::splitFrames(stream);
    for (const fuzzsupport::ReferenceFrame& frame : expected.frames) {
        checkHeader(stream, frame.headerOffset, tqerr::kOk);
    }
    if (expected.endError == tqerr::kProtocol || expected.endError == tqerr::kFrameTooLarge) {
        checkHeader(stream, expected.endOffset, expected.endError);
    }

    fuzzsupport::PeerStream peer(stream);
    tqsession::FrameReader reader;
    tqsDatabuf_v2 reused;
    const tqsession::Deadline deadline = tqsession::Deadline::afterMs(kReadWaitMs);
    bool timedOut = false;
    tqsession::Frame frame;
    CYxError error;
    for (const fuzzsupport::ReferenceFrame& want : expected.frames) {
        FUZZ_CHECK(reader.read(peer.fd(), kPeerName, deadline, timedOut, frame, error));
        FUZZ_CHECK(frame.code == want.code && frame.bodyLength == want.body.size());
        FUZZ_CHECK(std::string(frame.body, frame.bodyLength) == want.body);
        fuzzsupport::checkBodyDecoding(frame.code, frame.body, frame.bodyLength, reused);
    }
    FUZZ_CHECK(!reader.read(peer.fd(), kPeerName, deadline, timedOut, frame, error));
    FUZZ_CHECK(!timedOut && error.Code() == expected.endError);
    return 0;
}
