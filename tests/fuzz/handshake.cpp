// Fuzz target: the attach handshake. The first input byte picks what the
// rest is:
//   0: a HELLO body for decodeHello (bits 2-3 of the byte misalign it);
//   1: the stream a server sends a client, read by awaitHelloAnswer;
//   2: the stream a client sends a server, read by receiveHello.
// Each result is held to a reading by hand of the same bytes, and a decoded
// hello must encode to the same body (padding aside) and decode the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "ReferenceFrames.h"
#include "session/TqWire.h"

namespace {

using fuzzsupport::getU32;

constexpr int64_t kReadWaitMs = 10 * 1000;
constexpr char kPeerName[] = "fuzz peer";

enum Mode : uint8_t { kHelloBody = 0, kClientSide = 1, kServerSide = 2, kModes = 3 };

size_t padded(size_t length) { return (length + 3) & ~static_cast<size_t>(3); }

// An XDR string of at most `maxLength` bytes and no NUL, starting at `at`.
bool readText(const std::string& body, size_t& at, size_t maxLength, std::string& out) {
    if (body.size() - at < 4) {
        return false;
    }
    const uint32_t length = getU32(body.data() + at);
    at += 4;
    if (length > maxLength || body.size() - at < padded(length)) {
        return false;
    }
    out = body.substr(at, length);
    at += padded(length);
    return out.find('\0') == std::string::npos;
}

bool readHelloByHand(const std::string& body, tqsession::Hello& out) {
    if (body.size() < 4 || getU32(body.data()) != tqsession::kHandshakeVersion) {
        return false;
    }
    size_t at = 4;
    return readText(body, at, tqsession::kMaxServiceNameLength, out.library) &&
           readText(body, at, tqsession::kMaxServiceNameLength, out.entry) &&
           readText(body, at, tqsession::kMaxLocalNameLength, out.localName) && at == body.size();
}

bool sameHello(const tqsession::Hello& a, const tqsession::Hello& b) {
    return a.library == b.library && a.entry == b.entry && a.localName == b.localName;
}

// The body with the padding after each of the three texts zeroed.
std::string withZeroPadding(std::string body) {
    size_t at = 4;
    for (int text = 0; text < 3; ++text) {
        const size_t length = getU32(body.data() + at);
        at += 4;
        for (size_t pad = at + length; pad < at + padded(length); ++pad) {
            body[pad] = '\0';
        }
        at += padded(length);
    }
    return body;
}

// decodeHello accepts exactly what the reading by hand accepts, with the
// same texts; returns whether it did.
bool checkHelloBody(const char* body, size_t length, tqsession::Hello& hello) {
    const std::string bytes(body, length);
    tqsession::Hello byHand;
    const bool wellFormed = readHelloByHand(bytes, byHand);
    const CYxError result = tqsession::decodeHello(body, length, hello);
    FUZZ_CHECK(result.Code() == (wellFormed ? tqerr::kOk : tqerr::kProtocol));
    if (!wellFormed) {
        return false;
    }
    FUZZ_CHECK(sameHello(hello, byHand));

    std::string encoded;
    FUZZ_CHECK(!tqsession::encodeHello(hello, encoded).IsError());
    FUZZ_CHECK(encoded == withZeroPadding(bytes));
    tqsession::Hello again;
    FUZZ_CHECK(!tqsession::decodeHello(encoded.data(), encoded.size(), again).IsError());
    FUZZ_CHECK(sameHello(again, hello));
    return true;
}

// What the first frame of a stream leaves for the handshake: the frame, or
// the error reading it gives.
const fuzzsupport::ReferenceFrame* firstFrame(const fuzzsupport::ReferenceStream& stream) {
    return stream.frames.empty() ? nullptr : &stream.frames.front();
}

// The client accepts exactly an ACCEPT of version 1 or 2 (2: the server
// confirms closes) and reports a well-formed REFUSE as a refusal carrying
// its reason.
void checkClientSide(const std::string& stream) {
    const fuzzsupport::ReferenceStream expected = fuzzsupport::splitFrames(stream);
    fuzzsupport::PeerStream peer(stream);
    tqsession::Connection connection;
    connection.adopt(peer.release(), kPeerName);
    bool timedOut = false;
    const CYxError result = tqsession::awaitHelloAnswer(
        connection, tqsession::Deadline::afterMs(kReadWaitMs), timedOut);
    FUZZ_CHECK(!timedOut);

    const fuzzsupport::ReferenceFrame* frame = firstFrame(expected);
    if (frame == nullptr) {
        FUZZ_CHECK(result.Code() == expected.endError);
        return;
    }
    std::string versionOne;
    std::string versionTwo;
    fuzzsupport::putU32(versionOne, tqsession::kHandshakeVersion);
    fuzzsupport::putU32(versionTwo, tqsession::kCloseConfirmVersion);
    if (frame->code == tqsession::kAcceptCode &&
        (frame->body == versionOne || frame->body == versionTwo)) {
        FUZZ_CHECK(result.Code() == tqerr::kOk);
        FUZZ_CHECK(connection.confirmsClose() == (frame->body == versionTwo));
        return;
    }
    size_t at = 0;
    std::string reason;
    if (frame->code == tqsession::kRefuseCode &&
        readText(frame->body, at, tqsession::kMaxReasonLength, reason) &&
        at == frame->body.size()) {
        FUZZ_CHECK(result.Code() == tqerr::kServiceRefused);
        FUZZ_CHECK(result.AsString().find(reason) != std::string::npos);
        return;
    }
    FUZZ_CHECK(result.Code() == tqerr::kProtocol);
}

// The server takes the first frame as the hello, whatever follows it.
void checkServerSide(const std::string& stream) {
    const fuzzsupport::ReferenceStream expected = fuzzsupport::splitFrames(stream);
    fuzzsupport::PeerStream peer(stream);
    tqsession::Connection connection;
    connection.adopt(peer.release(), kPeerName);
    bool timedOut = false;
    tqsession::Hello received;
    const CYxError result = tqsession::receiveHello(
        connection, received, tqsession::Deadline::afterMs(kReadWaitMs), timedOut);
    FUZZ_CHECK(!timedOut);

    const fuzzsupport::ReferenceFrame* frame = firstFrame(expected);
    if (frame == nullptr) {
        FUZZ_CHECK(result.Code() == expected.endError);
        return;
    }
    if (frame->code != tqsession::kHelloCode) {
        FUZZ_CHECK(result.Code() == tqerr::kProtocol);
        return;
    }
    tqsession::Hello direct;
    const bool decoded = checkHelloBody(frame->body.data(), frame->body.size(), direct);
    FUZZ_CHECK(result.Code() == (decoded ? tqerr::kOk : tqerr::kProtocol));
    if (decoded) {
        FUZZ_CHECK(sameHello(received, direct));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::ByteReader input(data, size);
    const uint8_t selector = input.byte();
    const std::string rest(reinterpret_cast<const char*>(input.rest()), input.restSize());
    switch (selector % kModes) {
        case kHelloBody: {
            const fuzzsupport::ExactCopy body(input.rest(), input.restSize(), (selector >> 2) & 3u);
            tqsession::Hello hello;
            checkHelloBody(body.data(), body.size(), hello);
            break;
        }
        case kClientSide: checkClientSide(rest); break;
        default: checkServerSide(rest); break;
    }
    return 0;
}
