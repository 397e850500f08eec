// Fuzz target: how the CI server turns a request frame into a checked
// request, with the calls its sessions make: decodeBody into a fresh buffer,
// then readEraseRequest / readPruneRequest on what it holds, then describe()
// for the log line. Session::handle, which strings these together, is
// private to Session.cpp, so the sequence is repeated here.
//
// Input: one selector byte, then the body. Bit 0 picks the message (erase or
// prune request); bit 1 hands the bytes to the reader as they are, as if
// they were a decoded record, instead of decoding them first.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "TqMessages.h"
#include "cisrv/IndexStore.h"
#include "cisrv/Requests.h"
#include "session/TqWire.h"

namespace {

constexpr size_t kRecordSize = sizeof(tqmsg::EraseDataReq);
// A log line quotes at most 1024 bytes of the path, each escaped as at most
// four characters; the rest of the line is short.
constexpr size_t kMaxDescriptionLength = 1024 * 4 + 256;

// Length of the well-formed UTF-8 sequence at `text[at]`, or 0: the byte
// ranges of each lead byte's continuation, which exclude overlong forms,
// surrogates and code points above U+10FFFF.
size_t utf8Length(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const auto within = [&](size_t i, unsigned low, unsigned high) {
        return at + i < text.size() && byte(i) >= low && byte(i) <= high;
    };
    const unsigned lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return within(1, 0x80, 0xBF) ? 2 : 0;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned high = lead == 0xED ? 0x9F : 0xBF;
        return within(1, low, high) && within(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
        return within(1, low, high) && within(2, 0x80, 0xBF) && within(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

// A log line: bounded, UTF-8, and no control byte that could end it or
// forge another.
void checkLogText(const std::string& text) {
    FUZZ_CHECK(text.size() <= kMaxDescriptionLength);
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        FUZZ_CHECK(byte >= 0x20 && byte != 0x7F);
        const size_t length = utf8Length(text, at);
        FUZZ_CHECK(length > 0);
        at += length;
    }
}

// The range an erase covers: the path without trailing '/' and what lies below it.
void checkSubtree(const std::string& path) {
    const cisrv::Subtree subtree = cisrv::subtreeOf(path);
    FUZZ_CHECK(path.compare(0, subtree.base.size(), subtree.base) == 0);
    FUZZ_CHECK(path.find_first_not_of('/', subtree.base.size()) == std::string::npos);
    FUZZ_CHECK(subtree.base.empty() || subtree.base.back() != '/');
    FUZZ_CHECK(subtree.firstChild == subtree.base + "/" && subtree.end == subtree.base + "0");
}

tqmsg::EraseDataReq recordAt(const char* data) {
    tqmsg::EraseDataReq record;
    std::memcpy(&record, data, sizeof record);
    return record;
}

// The scope holds the request's fields as the server interprets them.
void checkEraseScope(const tqmsg::EraseDataReq& record, const cisrv::EraseScope& scope) {
    FUZZ_CHECK(scope.cellNumber == record.vornCellNumber);
    if (record.clientId != 0) {
        FUZZ_CHECK(scope.owner == cisrv::EraseScope::Owner::ClientData);
        FUZZ_CHECK(scope.clientId == record.clientId && scope.appType == record.appType);
    } else {
        FUZZ_CHECK(scope.owner == cisrv::EraseScope::Owner::MigratedData);
        FUZZ_CHECK(scope.applicationId == record.appType);
    }
}

// A request the reader accepts names a path; whatever it says, its log line is safe.
void checkEraseOutcome(const CYxError& status, const cisrv::EraseScope& scope) {
    if (!status.IsError()) {
        FUZZ_CHECK(!scope.path.empty());
    }
    checkLogText(cisrv::describe(scope));
    checkLogText(status.AsString());
    checkSubtree(scope.path);
}

// An erase request as the session library decodes it: the reader must find
// the decoded record and path, never call it malformed.
void eraseThroughDecoder(const char* body, size_t length) {
    tqsDatabuf_v2 decoded;
    if (tqsession::decodeBody(tqmsg::kEraseDataReq, body, length, decoded).IsError()) {
        return;
    }
    const char* data = decoded.getDataBuffer();
    const tqmsg::EraseDataReq record = recordAt(data);
    cisrv::EraseScope scope;
    const CYxError status = cisrv::readEraseRequest(data, decoded.getValidLen(), scope);
    FUZZ_CHECK(status.AsString().find("malformed") == std::string::npos);
    FUZZ_CHECK(scope.path == record.path);
    checkEraseScope(record, scope);
    checkEraseOutcome(status, scope);
}

// Any bytes as a decoded erase request: the path is taken from the bytes
// after the record, up to a NUL inside them, never through the record's pointer.
void eraseAsGiven(const char* data, size_t length) {
    cisrv::EraseScope scope;
    const CYxError status = cisrv::readEraseRequest(data, length, scope);
    const char* end =
        length > kRecordSize
            ? static_cast<const char*>(std::memchr(data + kRecordSize, '\0', length - kRecordSize))
            : nullptr;
    if (end == nullptr) {
        FUZZ_CHECK(status.IsError() && status.AsString().find("malformed") != std::string::npos);
        return;
    }
    FUZZ_CHECK(scope.path == std::string(data + kRecordSize, end));
    checkEraseScope(recordAt(data), scope);
    checkEraseOutcome(status, scope);
}

void checkPruneScope(const char* data, const cisrv::PruneScope& scope) {
    tqmsg::AfPruneReq record;
    std::memcpy(&record, data, sizeof record);
    FUZZ_CHECK(scope.archiveFileId == record.archiveFileId && scope.cloudId == record.cloudId);
    FUZZ_CHECK(scope.cellNumber == record.vornCellNumber);
    checkLogText(cisrv::describe(scope));
}

void pruneThroughDecoder(const char* body, size_t length) {
    tqsDatabuf_v2 decoded;
    if (tqsession::decodeBody(tqmsg::kAfPruneReq, body, length, decoded).IsError()) {
        return;
    }
    cisrv::PruneScope scope;
    FUZZ_CHECK(
        !cisrv::readPruneRequest(decoded.getDataBuffer(), decoded.getValidLen(), scope).IsError());
    checkPruneScope(decoded.getDataBuffer(), scope);
}

void pruneAsGiven(const char* data, size_t length) {
    cisrv::PruneScope scope;
    const CYxError status = cisrv::readPruneRequest(data, length, scope);
    FUZZ_CHECK(status.IsError() != (length == sizeof(tqmsg::AfPruneReq)));
    if (!status.IsError()) {
        checkPruneScope(data, scope);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::ByteReader input(data, size);
    const uint8_t selector = input.byte();
    const bool prune = (selector & 1u) != 0;
    const bool asGiven = (selector & 2u) != 0;
    // Records are read with memcpy from any address; a decoded buffer is
    // word-aligned, and so is this copy.
    const fuzzsupport::ExactCopy bytes(input.rest(), input.restSize(), 0);
    if (prune) {
        asGiven ? pruneAsGiven(bytes.data(), bytes.size())
                : pruneThroughDecoder(bytes.data(), bytes.size());
    } else {
        asGiven ? eraseAsGiven(bytes.data(), bytes.size())
                : eraseThroughDecoder(bytes.data(), bytes.size());
    }
    return 0;
}
