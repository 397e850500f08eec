// The attach handshake. The client sends HELLO naming the service and itself;
// the server answers ACCEPT or REFUSE with a reason.
//   HELLO  (kHelloCode) : u_int version; string library<256>; string entry<256>;
//                         string localName<1024>
//   ACCEPT (kAcceptCode): u_int version
//   REFUSE (kRefuseCode): string reason<1024>
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "Connection.h"
#include "TqPlatformApi.h"
#include "TqSession.h"
#include "Waits.h"
#include "YxError.h"

namespace tqwire {

constexpr uint32_t kHelloCode = 0x7E510001;
constexpr uint32_t kAcceptCode = 0x7E510002;
constexpr uint32_t kRefuseCode = 0x7E510003;
constexpr uint32_t kHandshakeVersion = 1;
constexpr size_t kMaxServiceNameLength = 256;
constexpr size_t kMaxLocalNameLength = 1024;
constexpr size_t kMaxReasonLength = 1024;

struct Hello {
    std::string library;
    std::string entry;
    std::string localName;
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
// kServiceRefused with the peer's reason in the text.
TQ_PLATFORM_API CYxError sendHello(Connection& connection, const Hello& hello,
                                   const Deadline& deadline, bool& timedOut);
TQ_PLATFORM_API CYxError awaitHelloAnswer(Connection& connection, const Deadline& deadline,
                                          bool& timedOut);

// Server side: the first frame must be a hello.
TQ_PLATFORM_API CYxError receiveHello(Connection& connection, Hello& out, const Deadline& deadline,
                                      bool& timedOut);
TQ_PLATFORM_API CYxError sendAccept(Connection& connection, const Deadline& deadline,
                                    bool& timedOut);
// `reason` is cut to kMaxReasonLength bytes.
TQ_PLATFORM_API CYxError sendRefuse(Connection& connection, const std::string& reason,
                                    const Deadline& deadline, bool& timedOut);

}  // namespace tqwire
