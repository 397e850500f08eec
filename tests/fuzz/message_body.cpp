// Fuzz target: decodeBody on one body, straight from the input, for each
// message code a host or a server receives (BodyChecks has the checks).
//
// Input: one selector byte, then for an opaque message the 4-byte code, then
// the body. Selector bits 0-1 pick the code (prune request, erase request,
// erase response, the code that follows); bits 2-3 how far the body is
// misaligned; bits 4-7, when not 0, give the buffer that is reused memory
// owned by an earlier receive of 8 to 120 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "BodyChecks.h"
#include "FuzzSupport.h"
#include "TqMessages.h"
#include "session/TqWire.h"

namespace {

constexpr uint32_t kRecordCodes[] = {tqmsg::kAfPruneReq, tqmsg::kEraseDataReq,
                                     tqmsg::kEraseDataResp};
constexpr unsigned kOpaqueChoice = 3;
constexpr size_t kOwnedGranule = 8;
constexpr char kEarlierReceiveFill = 0x3C;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::ByteReader input(data, size);
    const uint8_t selector = input.byte();
    const unsigned codeChoice = selector & 3u;
    const uint32_t code = codeChoice == kOpaqueChoice ? input.u32() : kRecordCodes[codeChoice];
    const size_t misalign = (selector >> 2) & 3u;
    const size_t ownedSize = (selector >> 4) * kOwnedGranule;
    if (input.restSize() > tqsession::kMaxBodyLength) {
        return 0;  // no frame carries it
    }

    const fuzzsupport::ExactCopy body(input.rest(), input.restSize(), misalign);
    tqsDatabuf_v2 reused;
    if (ownedSize > 0) {
        std::unique_ptr<char[]> earlier(new char[ownedSize]);
        std::fill_n(earlier.get(), ownedSize, kEarlierReceiveFill);
        reused.adoptOwnedBuffer(earlier.release(), ownedSize);
    }
    fuzzsupport::checkBodyDecoding(code, body.data(), body.size(), reused);
    return 0;
}
