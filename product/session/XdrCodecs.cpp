// XDR codecs of the message records (TqMessages.h): one encoder and one
// decoder per message code, opaque bytes for every other code.
#include "session/XdrCodecs.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "TqMessages.h"
#include "common/ProtocolNames.h"
#include "session/Errors.h"
#include "session/Frame.h"
#include "session/XdrStream.h"

namespace tqsession {

using detail::makeError;
using detail::xdrPadded;
using detail::XdrStream;
using detail::xdrVariableSize;
using tqcommon::hexCode;

namespace {

constexpr uint32_t kEraseRequestCode = tqmsg::kEraseDataReq;

// Four ints ahead of the path; the erase kind after it.
constexpr size_t kEraseRequestLeadWords = 4;
// The lead, the path's length word and the erase kind; the path's bytes come on top.
constexpr size_t kEraseRequestFixedBody = (kEraseRequestLeadWords + 2) * detail::kXdrWord;
// The longest path whose body still fits a frame.
constexpr size_t kMaxPathLength = kMaxBodyLength - kEraseRequestFixedBody;

static_assert(sizeof(tqmsg::EraseDataResp) <= kMaxInPlaceRecord, "response decodes in place");
static_assert(sizeof(tqmsg::EraseDataReq) == kMaxInPlaceRecord, "smallest caller record");

bool fail(CYxError& error, int32_t code, const std::string& text) {
    error = makeError(code, text);
    return false;
}

bool recordTooShort(CYxError& error, uint32_t code, unsigned long length, size_t needed) {
    return fail(error, tqerr::kInvalidArgument,
                "record of message " + hexCode(code) + " too short: " + std::to_string(length) +
                    " bytes, needs " + std::to_string(needed));
}

bool malformed(CYxError& error, uint32_t code, const char* what) {
    return fail(error, tqerr::kProtocol,
                "malformed body of message " + hexCode(code) + ": " + what);
}

// Records may sit at any address in the caller's buffer: copy, never cast.
template <typename Record>
Record readRecord(const char* data) {
    Record record;
    std::memcpy(&record, data, sizeof record);
    return record;
}

// Puts a decoded form of `size` bytes into `target`: into the caller's memory
// when it may take it (see kMaxInPlaceRecord), else into memory the buffer
// owns. `write` fills the destination; decoders check the whole body before
// they deliver, so a malformed message never touches the caller's memory.
template <typename Writer>
void deliver(tqsDatabuf_v2& target, size_t size, Writer write) {
    const bool intoCallerMemory = !target.ownsData() && target.getDataBuffer() != nullptr &&
                                  size <= target.getValidLen() && size <= kMaxInPlaceRecord;
    // Memory attached by an earlier receive is reused when the new form fits.
    const bool intoOwnedMemory = target.ownsData() && size > 0 && size <= target.getValidLen();
    if (intoCallerMemory || intoOwnedMemory) {
        write(target.getDataBuffer());
        target.setValidLen(size);
        return;
    }
    if (size == 0) {
        target.reset();
        return;
    }
    std::unique_ptr<char[]> owned(new char[size]);
    write(owned.get());
    target.adoptOwnedBuffer(owned.release(), size);
}

template <typename Record>
void deliverRecord(tqsDatabuf_v2& target, const Record& record) {
    deliver(target, sizeof record, [&](char* to) { std::memcpy(to, &record, sizeof record); });
}

// ---- records of fixed size: prune request, erase response ------------------

// Each names its record, code and XDR words, and codes its items in order.
struct PruneRequest {
    using Record = tqmsg::AfPruneReq;
    static constexpr uint32_t kCode = tqmsg::kAfPruneReq;
    static constexpr size_t kWords = 5 * 2 + 1;  // five hypers and an int
    template <typename Coder>
    static bool items(Record& record, Coder& coder) {
        return coder.int64(record.cloudId) && coder.int64(record.vornCellNumber) &&
               coder.int64(record.archiveFileId) && coder.int64(record.auxValue1) &&
               coder.int64(record.auxValue2) && coder.int32(record.reserved);
    }
};

struct EraseResponse {
    using Record = tqmsg::EraseDataResp;
    static constexpr uint32_t kCode = tqmsg::kEraseDataResp;
    // The uninterpreted bytes, status and tail.
    static constexpr size_t kWords = sizeof(Record::uninterpreted) / detail::kXdrWord + 2;
    template <typename Coder>
    static bool items(Record& record, Coder& coder) {
        return coder.opaque(record.uninterpreted, sizeof record.uninterpreted) &&
               coder.int32(record.status) && coder.int32(record.tail);
    }
};

template <typename Fixed>
constexpr size_t fixedBodyLength() {
    return Fixed::kWords * detail::kXdrWord;
}

static_assert(fixedBodyLength<PruneRequest>() == 44, "prune body");
static_assert(fixedBodyLength<EraseResponse>() == 32, "erase response body");
static_assert(sizeof(EraseResponse::Record::uninterpreted) % 4 == 0, "whole words");

template <typename Fixed>
auto itemsOf(typename Fixed::Record& record) {
    return [&record](auto& coder) { return Fixed::items(record, coder); };
}

template <typename Fixed>
bool measureFixed(unsigned long length, size_t& bodyLength, CYxError& error) {
    constexpr size_t kRecordSize = sizeof(typename Fixed::Record);
    if (length < kRecordSize) {
        return recordTooShort(error, Fixed::kCode, length, kRecordSize);
    }
    bodyLength = fixedBodyLength<Fixed>();
    return true;
}

template <typename Fixed>
bool encodeFixed(const char* data, XdrStream& out) {
    auto record = readRecord<typename Fixed::Record>(data);
    return out.fixedWords(Fixed::kWords, itemsOf<Fixed>(record));
}

template <typename Fixed>
bool decodeFixed(const char* body, size_t length, tqsDatabuf_v2& target, CYxError& error) {
    if (length != fixedBodyLength<Fixed>()) {
        return malformed(error, Fixed::kCode, "wrong length");
    }
    XdrStream in(body, length);
    typename Fixed::Record record{};
    if (!in.fixedWords(Fixed::kWords, itemsOf<Fixed>(record))) {
        return malformed(error, Fixed::kCode, "truncated");
    }
    deliverRecord(target, record);
    return true;
}

// ---- erase request ----------------------------------------------------------

auto eraseRequestLead(tqmsg::EraseDataReq& record) {
    return [&record](auto& coder) {
        return coder.int32(record.vornCellNumber) && coder.int32(record.clientId) &&
               coder.int32(record.reserved) && coder.int32(record.appType);
    };
}

bool measureEraseRequest(const char* data, unsigned long length, size_t& bodyLength,
                         CYxError& error) {
    if (length < sizeof(tqmsg::EraseDataReq)) {
        return recordTooShort(error, kEraseRequestCode, length, sizeof(tqmsg::EraseDataReq));
    }
    const auto record = readRecord<tqmsg::EraseDataReq>(data);
    if (record.path == nullptr) {
        return fail(error, tqerr::kInvalidArgument, "erase request without a path");
    }
    const size_t pathLength = ::strnlen(record.path, kMaxPathLength + 1);
    if (pathLength > kMaxPathLength) {
        return fail(error, tqerr::kFrameTooLarge,
                    "erase request path longer than " + std::to_string(kMaxPathLength) + " bytes");
    }
    bodyLength = kEraseRequestFixedBody + xdrPadded(pathLength);
    return true;
}

// The path's length was measured; the body holds exactly that many bytes.
bool encodeEraseRequest(const char* data, size_t bodyLength, XdrStream& out) {
    auto record = readRecord<tqmsg::EraseDataReq>(data);
    const size_t pathLength = ::strnlen(record.path, bodyLength - kEraseRequestFixedBody);
    return out.fixedWords(kEraseRequestLeadWords, eraseRequestLead(record)) &&
           out.counted(record.path, pathLength) && out.int32(record.eraseKind);
}

// The decoded request is the record followed by its path and NUL; the
// record's `path` points at that copy.
bool decodeEraseRequest(const char* body, size_t length, tqsDatabuf_v2& target, CYxError& error) {
    XdrStream in(body, length);
    tqmsg::EraseDataReq record{};
    uint32_t pathLength = 0;
    if (!in.fixedWords(kEraseRequestLeadWords, eraseRequestLead(record))) {
        return malformed(error, kEraseRequestCode, "truncated");
    }
    const size_t pathStart = in.position() + detail::kXdrWord;
    if (!in.uint32(pathLength) || !in.skip(xdrPadded(pathLength)) || !in.int32(record.eraseKind)) {
        return malformed(error, kEraseRequestCode, "truncated");
    }
    if (!in.atEnd()) {
        return malformed(error, kEraseRequestCode, "trailing bytes");
    }
    const char* pathBytes = body + pathStart;
    if (std::memchr(pathBytes, '\0', pathLength) != nullptr) {
        return malformed(error, kEraseRequestCode, "NUL inside the path");
    }
    deliver(target, sizeof record + pathLength + 1, [&](char* to) {
        char* path = to + sizeof record;
        std::memcpy(path, pathBytes, pathLength);
        path[pathLength] = '\0';
        record.path = path;
        std::memcpy(to, &record, sizeof record);
    });
    return true;
}

// ---- any other code: opaque bytes ------------------------------------------

bool measureOpaque(uint32_t code, const char* data, unsigned long length, size_t& bodyLength,
                   CYxError& error) {
    if (length > 0 && data == nullptr) {
        return fail(error, tqerr::kInvalidArgument, "message " + hexCode(code) + " has no data");
    }
    if (length > kMaxBodyLength - detail::kXdrWord) {
        return fail(
            error, tqerr::kFrameTooLarge,
            "message " + hexCode(code) + " too large: " + std::to_string(length) + " bytes");
    }
    bodyLength = xdrVariableSize(length);
    return true;
}

bool encodeOpaque(const char* data, unsigned long length, XdrStream& out) {
    return out.counted(data, length);
}

bool decodeOpaque(uint32_t code, const char* body, size_t length, tqsDatabuf_v2& target,
                  CYxError& error) {
    XdrStream in(body, length);
    uint32_t count = 0;
    if (!in.uint32(count) || !in.skip(xdrPadded(count))) {
        return malformed(error, code, "truncated");
    }
    if (!in.atEnd()) {
        return malformed(error, code, "trailing bytes");
    }
    const char* bytes = body + detail::kXdrWord;
    deliver(target, count, [&](char* to) { std::memcpy(to, bytes, count); });
    return true;
}

bool isRecordCode(uint32_t code) {
    return code == PruneRequest::kCode || code == kEraseRequestCode || code == EraseResponse::kCode;
}

bool measure(uint32_t code, const char* record, unsigned long length, size_t& bodyLength,
             CYxError& error) {
    if (!isRecordCode(code)) {
        return measureOpaque(code, record, length, bodyLength, error);
    }
    if (record == nullptr) {
        return fail(error, tqerr::kInvalidArgument, "message " + hexCode(code) + " has no record");
    }
    switch (code) {
        case PruneRequest::kCode: return measureFixed<PruneRequest>(length, bodyLength, error);
        case kEraseRequestCode: return measureEraseRequest(record, length, bodyLength, error);
        default: return measureFixed<EraseResponse>(length, bodyLength, error);
    }
}

bool encode(uint32_t code, const char* record, unsigned long length, char* out, size_t bodyLength,
            CYxError& error) {
    XdrStream stream(out, bodyLength, XDR_ENCODE);
    bool encoded = false;
    switch (code) {
        case PruneRequest::kCode: encoded = encodeFixed<PruneRequest>(record, stream); break;
        case kEraseRequestCode: encoded = encodeEraseRequest(record, bodyLength, stream); break;
        case EraseResponse::kCode: encoded = encodeFixed<EraseResponse>(record, stream); break;
        default: encoded = encodeOpaque(record, length, stream); break;
    }
    return (encoded && stream.atEnd()) ||
           fail(error, tqerr::kInvalidArgument, "cannot encode message " + hexCode(code));
}

bool decode(uint32_t code, const char* body, size_t bodyLength, tqsDatabuf_v2& target,
            CYxError& error) {
    try {
        switch (code) {
            case PruneRequest::kCode:
                return decodeFixed<PruneRequest>(body, bodyLength, target, error);
            case kEraseRequestCode: return decodeEraseRequest(body, bodyLength, target, error);
            case EraseResponse::kCode:
                return decodeFixed<EraseResponse>(body, bodyLength, target, error);
            default: return decodeOpaque(code, body, bodyLength, target, error);
        }
    } catch (const std::bad_alloc&) {
        return fail(error, tqerr::kNoMemory, "out of memory decoding message " + hexCode(code));
    }
}

}  // namespace

CYxError measureBody(uint32_t code, const char* record, unsigned long length, size_t& bodyLength) {
    return detail::guarded([&] {
        CYxError error;
        measure(code, record, length, bodyLength, error);
        return error;
    });
}

CYxError encodeBody(uint32_t code, const char* record, unsigned long length, char* out,
                    size_t bodyLength) {
    return detail::guarded([&] {
        CYxError error;
        encode(code, record, length, out, bodyLength, error);
        return error;
    });
}

CYxError decodeBody(uint32_t code, const char* body, size_t bodyLength, tqsDatabuf_v2& target) {
    // An empty body may come without storage; give the decoders a valid address.
    static const char kNoBytes[1] = {0};
    if (body == nullptr) {
        if (bodyLength != 0) {
            return CYxError(tqerr::kInvalidArgument, "message body missing");
        }
        body = kNoBytes;
    }
    return detail::guarded([&] {
        CYxError error;
        decode(code, body, bodyLength, target, error);
        return error;
    });
}

}  // namespace tqsession
