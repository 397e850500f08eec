// Frames: a 16-byte header in network byte order, then the XDR body.
//   u32 magic | u16 version | u16 reserved (0) | u32 message code | u32 body length
#pragma once

#include <cstddef>
#include <cstdint>

#include "TqPlatformApi.h"
#include "YxError.h"

namespace tqsession {

constexpr uint32_t kFrameMagic = 0x54515357;  // "TQSW"
constexpr uint16_t kFrameVersion = 1;
constexpr size_t kFrameHeaderSize = 16;
// Largest body accepted in either direction: 1 MiB of payload plus room for
// its XDR framing.
constexpr uint32_t kMaxBodyLength = (1u << 20) + 1024;

struct FrameHeader {
    uint32_t magic = 0;
    uint16_t version = 0;
    uint16_t reserved = 0;
    uint32_t code = 0;
    uint32_t bodyLength = 0;
};

// Writes the header of a frame of `code` with a body of `bodyLength` bytes to
// `out` (kFrameHeaderSize bytes). `reserved` is 0 but in a hello, where it
// carries the handshake version the client offers (see Handshake.h).
TQ_PLATFORM_API void encodeFrameHeader(uint32_t code, uint32_t bodyLength, unsigned char* out,
                                       uint16_t reserved = 0);
// Reads kFrameHeaderSize bytes into `out`. kProtocol for a wrong magic or
// version, kFrameTooLarge for a body above kMaxBodyLength.
TQ_PLATFORM_API CYxError decodeFrameHeader(const unsigned char* in, FrameHeader& out);

// A whole frame as received: its body stays valid until the next receive.
struct Frame {
    uint32_t code = 0;
    uint16_t reserved = 0;
    const char* body = nullptr;
    uint32_t bodyLength = 0;
};

}  // namespace tqsession
