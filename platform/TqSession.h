// The product's network session library (libTqSession): a session to a remote
// service, the message buffer that presents records to it, and the descriptor
// that names the remote service.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TqPlatformApi.h"
#include "YxError.h"

// Descriptor of a remote service to attach to. Two NUL-padded text fields of
// 256 bytes: the service library at byte 0 and its entry at byte 257.
struct tqsExecuteRemoteDllType {
    char remoteLibraryName[256];
    char separator;
    char remoteEntryName[256];
    char reserved[7];
};
static_assert(offsetof(tqsExecuteRemoteDllType, remoteLibraryName) == 0, "descriptor layout");
static_assert(offsetof(tqsExecuteRemoteDllType, remoteEntryName) == 257, "descriptor layout");
static_assert(sizeof(tqsExecuteRemoteDllType) == 520, "descriptor layout");

// Optional header of a received message. Filled when a receive is given one.
struct tqsHostProtocolHeader {
    uint32_t messageCode;
    uint32_t bodyLength;
};

// An older message buffer type; kept for interfaces that still name it.
class TQ_PLATFORM_API tqsDatabuf {
public:
    char* data = nullptr;
    unsigned long length = 0;
};

// A message buffer. It either refers to memory of the caller's
// (setExternalBuffer; never freed by the buffer) or owns memory that a receive
// attached to it (freed by FreeReceivedMessage or by the destructor).
class TQ_PLATFORM_API tqsDatabuf_v2 {
public:
    tqsDatabuf_v2();
    ~tqsDatabuf_v2();
    tqsDatabuf_v2(const tqsDatabuf_v2&) = delete;
    tqsDatabuf_v2& operator=(const tqsDatabuf_v2&) = delete;

    // Refer to `length` bytes of the caller's memory at `data`. Releases any
    // memory the buffer owned before.
    void setExternalBuffer(char* data, unsigned long length);
    // Start of the bytes the buffer refers to (null when empty).
    char* getDataBuffer() const;
    // Number of valid bytes.
    unsigned long getValidLen() const;
    // Whether the bytes are owned by the buffer (attached by a receive).
    bool ownsData() const;

    // Session-library use: hand the buffer `length` bytes allocated with
    // new[]; the buffer frees them. Releases what it owned before.
    void adoptOwnedBuffer(char* data, unsigned long length);
    // Session-library use: the caller's bytes were overwritten with a received
    // body of `length` bytes (never more than the external length).
    void setValidLen(unsigned long length);
    // Free owned memory and forget the data (external memory is only forgotten).
    void reset();

private:
    char* m_data;
    unsigned long m_validLen;
    bool m_owned;
};

// A network session to a remote service. Every operation returns a CYxError and
// takes a bool by reference that it sets when the operation ended because its
// wait ran out. Waits are in seconds (the session library documents how tests
// shorten the unit). A session is used by one thread at a time.
class TQ_PLATFORM_API CTqNetwork {
public:
    CTqNetwork();
    // Releases the session; an attached connection is closed without waiting.
    ~CTqNetwork();
    CTqNetwork(const CTqNetwork&) = delete;
    CTqNetwork& operator=(const CTqNetwork&) = delete;

    // Connect to `host` ("name[:port]", IPv6 literals in brackets) and attach
    // to the remote service that `service` names, presenting `localName`.
    // A success may carry a line for the caller's log (code tqerr::kNotice).
    CYxError Attach_RemoteDLL(const char* host, tqsExecuteRemoteDllType* service,
                              const char* localName, int wait, bool& timedOut);
    // Send one message of `code` made from the record `body` refers to.
    // `flags` 0 is the only value defined; `wait` -1 selects the default send wait.
    CYxError SendXDRMessage(unsigned long code, tqsDatabuf_v2* body, int flags, int wait,
                            bool& timedOut);
    // Wait at most `wait` for the next message; store its code in `*code` and
    // its body in `body` (see the session library's documentation).
    CYxError ReceiveXDRMessage(unsigned long* code, tqsDatabuf_v2* body,
                               tqsHostProtocolHeader* header, int flags, int wait,
                               bool& timedOut);
    // Release what a receive attached to `body`.
    CYxError FreeReceivedMessage(unsigned long code, tqsDatabuf_v2* body);
    // Close the session gracefully: everything sent before reaches the peer.
    // Harmless on a session that was never attached.
    CYxError Disconnect(int wait, bool& timedOut);

    struct Impl;

private:
    Impl* m_impl;
};
