// Frame headers: writing and checking the 16 bytes ahead of every body.
#include "session/Frame.h"

#include <string>

#include "common/ProtocolNames.h"
#include "session/Errors.h"

namespace tqsession {

using detail::makeError;
using tqcommon::hexCode;

namespace {

void putU32(unsigned char* out, uint32_t value) {
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

void putU16(unsigned char* out, uint16_t value) {
    out[0] = static_cast<unsigned char>(value >> 8);
    out[1] = static_cast<unsigned char>(value);
}

uint32_t getU32(const unsigned char* in) {
    return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | in[3];
}

uint16_t getU16(const unsigned char* in) { return static_cast<uint16_t>((in[0] << 8) | in[1]); }

CYxError checkFrameHeader(const FrameHeader& header) {
    if (header.magic != kFrameMagic) {
        return makeError(tqerr::kProtocol, "bad frame magic " + hexCode(header.magic));
    }
    if (header.version != kFrameVersion) {
        return makeError(tqerr::kProtocol,
                         "unsupported frame version " + std::to_string(header.version));
    }
    if (header.bodyLength > kMaxBodyLength) {
        return makeError(tqerr::kFrameTooLarge,
                         "frame of message " + hexCode(header.code) +
                             " too large: " + std::to_string(header.bodyLength) + " bytes (limit " +
                             std::to_string(kMaxBodyLength) + ")");
    }
    return CYxError();
}

}  // namespace

void encodeFrameHeader(uint32_t code, uint32_t bodyLength, unsigned char* out, uint16_t reserved) {
    putU32(out, kFrameMagic);
    putU16(out + 4, kFrameVersion);
    putU16(out + 6, reserved);
    putU32(out + 8, code);
    putU32(out + 12, bodyLength);
}

CYxError decodeFrameHeader(const unsigned char* in, FrameHeader& out) {
    out.magic = getU32(in);
    out.version = getU16(in + 4);
    out.reserved = getU16(in + 6);
    out.code = getU32(in + 8);
    out.bodyLength = getU32(in + 12);
    return detail::guarded([&] { return checkFrameHeader(out); });
}

}  // namespace tqsession
