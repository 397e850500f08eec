// The attach handshake. The client sends HELLO naming the service and itself;
// the server answers ACCEPT or REFUSE with a reason.
//   HELLO  (kHelloCode) : u_int version; string library<256>; string entry<256>;
//                         string localName<1024>
//   ACCEPT (kAcceptCode): u_int version
//   REFUSE (kRefuseCode): string reason<1024>
// Versions: the body of a hello always says 1, which every server takes; the
// version a client offers beyond that travels in the hello frame header's
// reserved field, which servers of version 1 ignore. The server accepts with
// the highest version both speak. Version 2 adds the close confirmation: after
// the client's graceful close the server carries out everything the session
// sent and only then answers, before its own close,
//   CLOSED (kCloseConfirmCode): unsigned hyper received; unsigned hyper notCarriedOut
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "TqPlatformApi.h"
#include "TqSession.h"
#include "YxError.h"
#include "session/Connection.h"
#include "session/Waits.h"

namespace tqsession {

constexpr uint32_t kHelloCode = 0x7E510001;
constexpr uint32_t kAcceptCode = 0x7E510002;
constexpr uint32_t kRefuseCode = 0x7E510003;
constexpr uint32_t kCloseConfirmCode = 0x7E510004;
// The version in every hello body, and of a server that knows no other.
constexpr uint32_t kHandshakeVersion = 1;
// The first version whose server confirms a client's close.
constexpr uint32_t kCloseConfirmVersion = 2;
constexpr uint32_t kLatestHandshakeVersion = kCloseConfirmVersion;
constexpr size_t kMaxServiceNameLength = 256;
constexpr size_t kMaxLocalNameLength = 1024;
// The largest hello body: the version and three XDR strings at their limits.
constexpr uint32_t kMaxHelloBodyLength =
    4 + 2 * (4 + kMaxServiceNameLength) + 4 + kMaxLocalNameLength;
constexpr size_t kMaxReasonLength = 1024;

struct Hello {
    std::string library;
    std::string entry;
    std::string localName;
    // The highest handshake version the client speaks.
    uint32_t offeredVersion = kHandshakeVersion;
};

// A server's answer to a client's graceful close: the messages it received on
// the session, and how many of them it could not carry out.
struct CloseConfirmation {
    uint64_t received = 0;
    uint64_t notCarriedOut = 0;
};

// The text of a fixed-size field: up to its first NUL, at most `capacity` bytes.
TQ_PLATFORM_API std::string boundedText(const char* field, size_t capacity);
// The hello for `service` (its two fields read boundedly) and `localName`
// (null: empty). kInvalidArgument when the local name is too long.
TQ_PLATFORM_API CYxError makeHello(const tqsExecuteRemoteDllType& service, const char* localName,
                                   Hello& out);

TQ_PLATFORM_API CYxError encodeHello(const Hello& hello, std::string& body);
TQ_PLATFORM_API CYxError decodeHello(const char* body, size_t bodyLength, Hello& out);

// Client side: send the hello, then wait for the answer. A refusal gives
// kServiceRefused with the peer's reason in the text. An accept of version 2
// or later makes the connection expect a close confirmation.
TQ_PLATFORM_API CYxError sendHello(Connection& connection, const Hello& hello,
                                   const Deadline& deadline, bool& timedOut);
TQ_PLATFORM_API CYxError awaitHelloAnswer(Connection& connection, const Deadline& deadline,
                                          bool& timedOut);

// Server side: the first frame must be a hello.
TQ_PLATFORM_API CYxError receiveHello(Connection& connection, Hello& out, const Deadline& deadline,
                                      bool& timedOut);
// Accepts with `version` (at most what the hello offered, see agreedVersion);
// version 2 or later obliges the server to confirm the client's close.
TQ_PLATFORM_API CYxError sendAccept(Connection& connection, const Deadline& deadline,
                                    bool& timedOut, uint32_t version = kHandshakeVersion);
// The version a server of `latest` agrees to with a client offering `offered`.
TQ_PLATFORM_API uint32_t agreedVersion(uint32_t offered, uint32_t latest = kLatestHandshakeVersion);
// Sent by the server once the client closed its side (a half-closed connection).
TQ_PLATFORM_API CYxError sendCloseConfirmation(Connection& connection,
                                               const CloseConfirmation& confirmation,
                                               const Deadline& deadline, bool& timedOut);
TQ_PLATFORM_API CYxError decodeCloseConfirmation(const char* body, size_t bodyLength,
                                                 CloseConfirmation& out);
// `reason` is cut to kMaxReasonLength bytes.
TQ_PLATFORM_API CYxError sendRefuse(Connection& connection, const std::string& reason,
                                    const Deadline& deadline, bool& timedOut);

}  // namespace tqsession
