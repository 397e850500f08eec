#include "WireFrames.h"

#include <cstring>
#include <stdexcept>

#include "TqWire.h"

namespace bench {

namespace {

void check(const CYxError& result, const char* what) {
    if (result.IsError()) throw std::runtime_error(std::string(what) + ": " + result.AsString());
}

std::string frameOf(uint32_t code, const std::string& body) {
    std::string frame(tqwire::kFrameHeaderSize, '\0');
    tqwire::encodeFrameHeader(code, static_cast<uint32_t>(body.size()),
                              reinterpret_cast<unsigned char*>(frame.data()));
    return frame + body;
}

std::string encodedRecord(uint32_t code, const char* record, unsigned long length) {
    size_t bodyLength = 0;
    check(tqwire::measureBody(code, record, length, bodyLength), "cannot measure a record");
    std::string body(bodyLength, '\0');
    check(tqwire::encodeBody(code, record, length, body.data(), bodyLength),
          "cannot encode a record");
    return frameOf(code, body);
}

}  // namespace

tqmsg::EraseDataReq eraseRecord(int32_t cellNumber, int32_t clientId, int32_t appType,
                                const char* path) {
    tqmsg::EraseDataReq record{};
    record.vornCellNumber = cellNumber;
    record.clientId = clientId;
    record.appType = appType;
    record.path = const_cast<char*>(path);
    record.eraseKind = tqmsg::kEraseKindData;
    return record;
}

std::string eraseRequestFrame(const tqmsg::EraseDataReq& record) {
    return encodedRecord(tqmsg::kEraseDataReq, reinterpret_cast<const char*>(&record),
                         sizeof record + std::strlen(record.path) + 1);
}

std::string eraseResponseFrame(int32_t status) {
    tqmsg::EraseDataResp response{};
    response.status = status;
    return encodedRecord(tqmsg::kEraseDataResp, reinterpret_cast<const char*>(&response),
                         sizeof response);
}

std::string pruneRequestFrame(const tqmsg::AfPruneReq& record) {
    return encodedRecord(tqmsg::kAfPruneReq, reinterpret_cast<const char*>(&record),
                         sizeof record);
}

std::string helloFrame(const char* localName) {
    tqsExecuteRemoteDllType service{};
    std::strncpy(service.remoteLibraryName, tqmsg::kRemoteIndexLibrary,
                 sizeof service.remoteLibraryName);
    std::strncpy(service.remoteEntryName, tqmsg::kRemoteIndexEntry,
                 sizeof service.remoteEntryName);
    tqwire::Hello hello;
    check(tqwire::makeHello(service, localName, hello), "cannot make a hello");
    std::string body;
    check(tqwire::encodeHello(hello, body), "cannot encode a hello");
    return frameOf(tqwire::kHelloCode, body);
}

std::string acceptFrame() {
    static_assert(tqwire::kHandshakeVersion < 256, "version fits the last byte");
    const unsigned char version[4] = {0, 0, 0, static_cast<unsigned char>(tqwire::kHandshakeVersion)};
    return frameOf(tqwire::kAcceptCode, std::string(reinterpret_cast<const char*>(version), 4));
}

}  // namespace bench
