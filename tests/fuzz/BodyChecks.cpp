#include "BodyChecks.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "TqMessages.h"
#include "session/TqWire.h"

namespace fuzzsupport {

namespace {

constexpr size_t kRecordSize = GuardedRecord::kRecordSize;
constexpr size_t kPathPointerOffset = offsetof(tqmsg::EraseDataReq, path);
// An erase request body: four ints, the path's length word, then its bytes.
constexpr size_t kErasePathLengthOffset = 4 * 4;
constexpr size_t kErasePathBodyOffset = kErasePathLengthOffset + 4;
// The length word of an opaque body.
constexpr size_t kOpaqueBytesOffset = 4;

static_assert(kRecordSize == tqsession::kMaxInPlaceRecord, "the guard covers exactly the record");
static_assert(sizeof(tqmsg::EraseDataReq) == kRecordSize, "decoded erase request layout");

size_t padded(size_t length) { return (length + 3) & ~static_cast<size_t>(3); }

// The decoded form in a buffer, comparable between buffers: an erase
// request's path pointer (which differs by buffer) is checked and blanked.
std::string readBack(uint32_t code, const tqsDatabuf_v2& buffer) {
    const char* data = buffer.getDataBuffer();
    const size_t length = buffer.getValidLen();
    FUZZ_CHECK(data != nullptr || length == 0);
    std::string bytes(data == nullptr ? "" : data, data == nullptr ? 0 : length);
    if (code == tqmsg::kEraseDataReq) {
        FUZZ_CHECK(length > kRecordSize);
        tqmsg::EraseDataReq record;
        std::memcpy(&record, data, sizeof record);
        FUZZ_CHECK(record.path == data + kRecordSize);
        FUZZ_CHECK(data[length - 1] == '\0');
        FUZZ_CHECK(std::strlen(record.path) == length - kRecordSize - 1);
        bytes.replace(kPathPointerOffset, sizeof record.path, sizeof record.path, '\0');
    }
    return bytes;
}

// The size of the decoded form of a body that decoded.
size_t decodedSize(uint32_t code, const char* body, size_t length) {
    switch (code) {
        case tqmsg::kAfPruneReq: return sizeof(tqmsg::AfPruneReq);
        case tqmsg::kEraseDataResp: return sizeof(tqmsg::EraseDataResp);
        case tqmsg::kEraseDataReq: return kRecordSize + getU32(body + kErasePathLengthOffset) + 1;
        default: return length == 0 ? 0 : getU32(body);
    }
}

struct BufferState {
    const char* data;
    unsigned long length;
    bool owns;
};

BufferState stateOf(const tqsDatabuf_v2& buffer) {
    return {buffer.getDataBuffer(), buffer.getValidLen(), buffer.ownsData()};
}

bool sameState(const BufferState& a, const tqsDatabuf_v2& buffer) {
    const BufferState b = stateOf(buffer);
    return a.data == b.data && a.length == b.length && a.owns == b.owns;
}

// Into caller memory whose valid length is `claimed`: at most the 32-byte
// record is ever written, and only a form that fits the record lands there.
void checkIntoCallerRecord(uint32_t code, const char* body, size_t length, unsigned long claimed,
                           const CYxError& expected, const std::string& reference) {
    GuardedRecord guard;
    tqsDatabuf_v2 buffer;
    buffer.setExternalBuffer(guard.record(), claimed);
    const CYxError result = tqsession::decodeBody(code, body, length, buffer);
    FUZZ_CHECK(guard.canaryIntact());
    FUZZ_CHECK(result.Code() == expected.Code());
    if (result.IsError()) {
        FUZZ_CHECK(buffer.getDataBuffer() == guard.record() && buffer.getValidLen() == claimed);
        FUZZ_CHECK(!buffer.ownsData() && guard.recordUntouched());
        return;
    }
    FUZZ_CHECK(readBack(code, buffer) == reference);
    const bool fitsRecord = reference.size() <= kRecordSize;
    FUZZ_CHECK(buffer.ownsData() == !fitsRecord);
    if (fitsRecord) {
        FUZZ_CHECK(buffer.getDataBuffer() == guard.record());
    }
}

// Into a buffer that may own memory of an earlier receive: reused when the
// new form fits, left alone when the body is refused.
void checkIntoReused(uint32_t code, const char* body, size_t length, tqsDatabuf_v2& reused,
                     const CYxError& expected, const std::string& reference) {
    const BufferState before = stateOf(reused);
    const CYxError result = tqsession::decodeBody(code, body, length, reused);
    FUZZ_CHECK(result.Code() == expected.Code());
    if (result.IsError()) {
        FUZZ_CHECK(sameState(before, reused));
        return;
    }
    FUZZ_CHECK(readBack(code, reused) == reference);
    if (before.owns && !reference.empty() && reference.size() <= before.length) {
        FUZZ_CHECK(reused.getDataBuffer() == before.data && reused.ownsData());
    }
}

// Byte ranges of a body that XDR pads with zeros: after an erase request's
// path and after an opaque message's bytes.
void zeroPadding(uint32_t code, std::string& body) {
    size_t start = 0;
    size_t count = 0;
    if (code == tqmsg::kEraseDataReq) {
        start = kErasePathBodyOffset;
        count = getU32(body.data() + kErasePathLengthOffset);
    } else if (code != tqmsg::kAfPruneReq && code != tqmsg::kEraseDataResp && !body.empty()) {
        start = kOpaqueBytesOffset;
        count = getU32(body.data());
    } else {
        return;
    }
    for (size_t at = start + count; at < start + padded(count); ++at) {
        body[at] = '\0';
    }
}

// Encodes the decoded form again: the same body comes out (but for padding
// bytes, which a receiver does not look at), and it decodes to the same form.
void checkReencoding(uint32_t code, const char* body, size_t length, const tqsDatabuf_v2& decoded,
                     const std::string& reference) {
    size_t bodyLength = 0;
    FUZZ_CHECK(
        !tqsession::measureBody(code, decoded.getDataBuffer(), decoded.getValidLen(), bodyLength)
             .IsError());
    FUZZ_CHECK(bodyLength == length);
    std::string encoded(bodyLength, '\0');
    FUZZ_CHECK(!tqsession::encodeBody(code, decoded.getDataBuffer(), decoded.getValidLen(),
                                      &encoded[0], bodyLength)
                    .IsError());
    std::string original(body, length);
    zeroPadding(code, original);
    FUZZ_CHECK(encoded == original);

    tqsDatabuf_v2 again;
    FUZZ_CHECK(!tqsession::decodeBody(code, encoded.data(), encoded.size(), again).IsError());
    FUZZ_CHECK(readBack(code, again) == reference);
}

}  // namespace

bool checkBodyDecoding(uint32_t code, const char* body, size_t length, tqsDatabuf_v2& reused) {
    tqsDatabuf_v2 fresh;
    const CYxError result = tqsession::decodeBody(code, body, length, fresh);
    std::string reference;
    if (result.IsError()) {
        FUZZ_CHECK(result.Code() == tqerr::kProtocol);
        FUZZ_CHECK(fresh.getDataBuffer() == nullptr && fresh.getValidLen() == 0);
        FUZZ_CHECK(!fresh.ownsData());
    } else {
        FUZZ_CHECK(result.Code() == tqerr::kOk);
        reference = readBack(code, fresh);
        FUZZ_CHECK(reference.size() == decodedSize(code, body, length));
        FUZZ_CHECK(fresh.ownsData() == !reference.empty());
        checkReencoding(code, body, length, fresh, reference);
    }
    checkIntoCallerRecord(code, body, length, kRecordSize, result, reference);
    // An erase request's length counts its separate path: memory behind the
    // record is claimed but is not the caller's.
    checkIntoCallerRecord(code, body, length, kRecordSize + 1 + length, result, reference);
    checkIntoReused(code, body, length, reused, result, reference);
    return !result.IsError();
}

}  // namespace fuzzsupport
