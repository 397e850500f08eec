// The attach handshake: HELLO from the client, ACCEPT or REFUSE from the server.
#include "session/Handshake.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/ProtocolNames.h"
#include "session/Errors.h"
#include "session/XdrStream.h"

namespace tqsession {

using tqcommon::hexCode;

using detail::guarded;
using detail::makeError;
using detail::XdrStream;
using detail::xdrVariableSize;

namespace {

static_assert(sizeof(tqsExecuteRemoteDllType::remoteLibraryName) == kMaxServiceNameLength,
              "service names fill their descriptor fields");
static_assert(sizeof(tqsExecuteRemoteDllType::remoteEntryName) == kMaxServiceNameLength,
              "service names fill their descriptor fields");

// Texts travel as XDR strings. A NUL inside one is refused both ways: the
// texts end up in C strings.
bool writeText(XdrStream& out, const std::string& text) {
    return out.counted(text.data(), text.size());
}

bool readText(XdrStream& in, size_t maxLength, std::string& out) {
    uint32_t length = 0;
    if (!in.uint32(length) || length > maxLength || length > in.remaining()) {
        return false;
    }
    out.assign(length, '\0');
    return in.opaque(out.data(), length) && out.find('\0') == std::string::npos;
}

bool fitsText(const std::string& text, size_t maxLength) {
    return text.size() <= maxLength && text.find('\0') == std::string::npos;
}

CYxError sendVersionOnly(Connection& connection, uint32_t code, uint32_t version,
                         const Deadline& deadline, bool& timedOut) {
    char body[4];
    XdrStream out(body, sizeof body, XDR_ENCODE);
    if (!out.uint32(version)) {
        return makeError(tqerr::kInvalidArgument, "cannot encode handshake");
    }
    return connection.sendFrame(code, body, sizeof body, deadline, timedOut);
}

// An accept names a version this client speaks.
CYxError checkAccept(Connection& connection, const Frame& frame) {
    XdrStream in(frame.body, frame.bodyLength);
    uint32_t version = 0;
    if (!in.uint32(version) || !in.atEnd() || version < kHandshakeVersion ||
        version > kLatestHandshakeVersion) {
        return makeError(tqerr::kProtocol, "malformed accept from " + connection.peer());
    }
    connection.setConfirmsClose(version >= kCloseConfirmVersion);
    return CYxError();
}

CYxError refusal(const Connection& connection, const Frame& frame) {
    XdrStream in(frame.body, frame.bodyLength);
    std::string reason;
    if (!readText(in, kMaxReasonLength, reason) || !in.atEnd()) {
        return makeError(tqerr::kProtocol, "malformed refusal from " + connection.peer());
    }
    return makeError(tqerr::kServiceRefused,
                     "service refused by " + connection.peer() + ": " + reason);
}

}  // namespace

std::string boundedText(const char* field, size_t capacity) {
    if (field == nullptr) {
        return std::string();
    }
    return std::string(field, ::strnlen(field, capacity));
}

CYxError makeHello(const tqsExecuteRemoteDllType& service, const char* localName, Hello& out) {
    return guarded([&] {
        const std::string local = boundedText(localName, kMaxLocalNameLength + 1);
        if (local.size() > kMaxLocalNameLength) {
            return makeError(
                tqerr::kInvalidArgument,
                "local name longer than " + std::to_string(kMaxLocalNameLength) + " bytes");
        }
        out.library = boundedText(service.remoteLibraryName, kMaxServiceNameLength);
        out.entry = boundedText(service.remoteEntryName, kMaxServiceNameLength);
        out.localName = local;
        return CYxError();
    });
}

CYxError encodeHello(const Hello& hello, std::string& body) {
    return guarded([&] {
        if (!fitsText(hello.library, kMaxServiceNameLength) ||
            !fitsText(hello.entry, kMaxServiceNameLength) ||
            !fitsText(hello.localName, kMaxLocalNameLength)) {
            return makeError(tqerr::kInvalidArgument, "hello texts too long or holding a NUL");
        }
        const size_t size = detail::kXdrWord + xdrVariableSize(hello.library.size()) +
                            xdrVariableSize(hello.entry.size()) +
                            xdrVariableSize(hello.localName.size());
        body.assign(size, '\0');
        XdrStream out(body.data(), size, XDR_ENCODE);
        uint32_t version = kHandshakeVersion;
        const bool encoded = out.uint32(version) && writeText(out, hello.library) &&
                             writeText(out, hello.entry) && writeText(out, hello.localName);
        return encoded && out.atEnd() ? CYxError()
                                      : makeError(tqerr::kInvalidArgument, "cannot encode hello");
    });
}

CYxError decodeHello(const char* body, size_t bodyLength, Hello& out) {
    return guarded([&] {
        XdrStream in(body, bodyLength);
        uint32_t version = 0;
        if (!in.uint32(version) || version != kHandshakeVersion) {
            return makeError(tqerr::kProtocol,
                             "unsupported handshake version " + std::to_string(version));
        }
        if (!readText(in, kMaxServiceNameLength, out.library) ||
            !readText(in, kMaxServiceNameLength, out.entry) ||
            !readText(in, kMaxLocalNameLength, out.localName) || !in.atEnd()) {
            return makeError(tqerr::kProtocol, "malformed hello");
        }
        return CYxError();
    });
}

CYxError sendHello(Connection& connection, const Hello& hello, const Deadline& deadline,
                   bool& timedOut) {
    return guarded([&] {
        std::string body;
        CYxError result = encodeHello(hello, body);
        if (result.IsError()) {
            return result;
        }
        // Servers of version 1 ignore the header's reserved field.
        const uint16_t offer = hello.offeredVersion > kHandshakeVersion
                                   ? static_cast<uint16_t>(hello.offeredVersion)
                                   : 0;
        connection.setConfirmsClose(false);
        return connection.sendFrame(kHelloCode, body.data(), body.size(), deadline, timedOut,
                                    offer);
    });
}

CYxError awaitHelloAnswer(Connection& connection, const Deadline& deadline, bool& timedOut) {
    return guarded([&] {
        Frame frame;
        CYxError result = connection.receiveFrame(frame, deadline, timedOut);
        if (result.IsError()) {
            return result;
        }
        if (frame.code == kAcceptCode) {
            return checkAccept(connection, frame);
        }
        if (frame.code == kRefuseCode) {
            return refusal(connection, frame);
        }
        return makeError(tqerr::kProtocol, "unexpected message " + hexCode(frame.code) + " from " +
                                               connection.peer() + " while attaching");
    });
}

CYxError receiveHello(Connection& connection, Hello& out, const Deadline& deadline,
                      bool& timedOut) {
    return guarded([&] {
        Frame frame;
        CYxError result = connection.receiveFrame(frame, deadline, timedOut);
        if (result.IsError()) {
            return result;
        }
        if (frame.code != kHelloCode) {
            return makeError(tqerr::kProtocol, "expected a hello from " + connection.peer() +
                                                   ", got message " + hexCode(frame.code));
        }
        result = decodeHello(frame.body, frame.bodyLength, out);
        if (!result.IsError()) {
            out.offeredVersion = std::max<uint32_t>(frame.reserved, kHandshakeVersion);
        }
        return result;
    });
}

CYxError sendAccept(Connection& connection, const Deadline& deadline, bool& timedOut,
                    uint32_t version) {
    return guarded([&] {
        CYxError result = sendVersionOnly(connection, kAcceptCode, version, deadline, timedOut);
        if (!result.IsError()) {
            connection.setConfirmsClose(version >= kCloseConfirmVersion);
        }
        return result;
    });
}

uint32_t agreedVersion(uint32_t offered, uint32_t latest) {
    return std::max(kHandshakeVersion, std::min(offered, latest));
}

CYxError sendCloseConfirmation(Connection& connection, const CloseConfirmation& confirmation,
                               const Deadline& deadline, bool& timedOut) {
    return guarded([&] {
        char body[2 * sizeof(uint64_t)];
        XdrStream out(body, sizeof body, XDR_ENCODE);
        uint64_t received = confirmation.received;
        uint64_t notCarriedOut = confirmation.notCarriedOut;
        if (!out.uint64(received) || !out.uint64(notCarriedOut)) {
            return makeError(tqerr::kInvalidArgument, "cannot encode close confirmation");
        }
        return connection.sendFrame(kCloseConfirmCode, body, sizeof body, deadline, timedOut);
    });
}

CYxError decodeCloseConfirmation(const char* body, size_t bodyLength, CloseConfirmation& out) {
    return guarded([&] {
        XdrStream in(body, bodyLength);
        if (!in.uint64(out.received) || !in.uint64(out.notCarriedOut) || !in.atEnd()) {
            return makeError(tqerr::kProtocol, "malformed close confirmation");
        }
        return CYxError();
    });
}

CYxError sendRefuse(Connection& connection, const std::string& reason, const Deadline& deadline,
                    bool& timedOut) {
    return guarded([&] {
        const std::string text = boundedText(reason.c_str(), kMaxReasonLength);
        std::string body(xdrVariableSize(text.size()), '\0');
        XdrStream out(body.data(), body.size(), XDR_ENCODE);
        if (!writeText(out, text)) {
            return makeError(tqerr::kInvalidArgument, "cannot encode refusal");
        }
        return connection.sendFrame(kRefuseCode, body.data(), body.size(), deadline, timedOut);
    });
}

}  // namespace tqsession
