// The bytes of the protocol: frame headers, record codecs, handshake texts,
// host names and wait units. No sockets.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <vector>

#include "GoldenVectors.h"
#include "TestPeer.h"
#include "TqMessages.h"
#include "session/TqWire.h"

namespace sessiontest {
namespace {

template <typename Record>
const char* asBytes(const Record& record) {
    return reinterpret_cast<const char*>(&record);
}

int32_t measureError(unsigned long code, const char* record, unsigned long length) {
    size_t bodyLength = 0;
    return tqsession::measureBody(static_cast<uint32_t>(code), record, length, bodyLength).Code();
}

TEST(FrameHeader, EncodesGoldenBytesAndDecodesThem) {
    unsigned char header[tqsession::kFrameHeaderSize];
    tqsession::encodeFrameHeader(tqmsg::kAfPruneReq, 44, header);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header), sizeof header), kGoldenPruneHeader);

    tqsession::FrameHeader decoded;
    ASSERT_FALSE(tqsession::decodeFrameHeader(header, decoded).IsError());
    EXPECT_EQ(decoded.code, tqmsg::kAfPruneReq);
    EXPECT_EQ(decoded.bodyLength, 44u);
}

TEST(FrameHeader, RefusesBadMagicVersionAndOversizedBodies) {
    unsigned char header[tqsession::kFrameHeaderSize];
    tqsession::FrameHeader decoded;

    tqsession::encodeFrameHeader(1, tqsession::kMaxBodyLength, header);
    EXPECT_FALSE(tqsession::decodeFrameHeader(header, decoded).IsError());
    tqsession::encodeFrameHeader(1, tqsession::kMaxBodyLength + 1, header);
    EXPECT_EQ(tqsession::decodeFrameHeader(header, decoded).Code(), tqerr::kFrameTooLarge);

    tqsession::encodeFrameHeader(1, 0, header);
    header[0] ^= 0x01;
    EXPECT_EQ(tqsession::decodeFrameHeader(header, decoded).Code(), tqerr::kProtocol);
    tqsession::encodeFrameHeader(1, 0, header);
    header[5] = 2;
    EXPECT_EQ(tqsession::decodeFrameHeader(header, decoded).Code(), tqerr::kProtocol);
}

// Word-aligned memory is coded in place, other memory item by item through
// the XDR routines: at every alignment the records give the golden bodies and
// the golden bodies give the records back.
TEST(RecordCodec, GoldenBodiesAtEveryAlignment) {
    const auto prune = goldenPrune();
    const auto request = goldenEraseRequest();
    const auto response = goldenEraseResponse();
    const struct {
        uint32_t code;
        const char* record;
        unsigned long length;  // as handed to a send
        const std::string& golden;
        size_t decodedLength;
    } cases[] = {{tqmsg::kAfPruneReq, asBytes(prune), sizeof prune, kGoldenPruneBody, sizeof prune},
                 // The handed length counts the path; only the record and its pointer are read.
                 {tqmsg::kEraseDataReq, asBytes(request), sizeof request + 4,
                  kGoldenEraseRequestBody, sizeof request + 4},
                 {tqmsg::kEraseDataResp, asBytes(response), sizeof response,
                  kGoldenEraseResponseBody, sizeof response},
                 {static_cast<uint32_t>(kOtherCode), "hello", 5, kGoldenOpaqueBody, 5},
                 {static_cast<uint32_t>(kOtherCode), nullptr, 0, bytes({0, 0, 0, 0}), 0}};
    for (const auto& entry : cases) {
        for (size_t offset : {0, 1, 2, 3}) {
            SCOPED_TRACE(::testing::Message() << std::hex << entry.code << " at offset " << offset);
            alignas(8) char memory[128];
            char* wire = memory + offset;
            ASSERT_FALSE(tqsession::encodeBody(entry.code, entry.record, entry.length, wire,
                                               entry.golden.size())
                             .IsError());
            EXPECT_EQ(std::string(wire, entry.golden.size()), entry.golden);

            std::memcpy(wire, entry.golden.data(), entry.golden.size());
            tqsDatabuf_v2 decoded;
            ASSERT_FALSE(
                tqsession::decodeBody(entry.code, wire, entry.golden.size(), decoded).IsError());
            ASSERT_EQ(decoded.getValidLen(), entry.decodedLength);
            if (entry.decodedLength == 0) {
                continue;
            }
            if (entry.code != tqmsg::kEraseDataReq) {
                EXPECT_EQ(std::memcmp(decoded.getDataBuffer(), entry.record, entry.decodedLength),
                          0);
                continue;
            }
            // The decoded request's path follows the record, which points at it.
            tqmsg::EraseDataReq record;
            std::memcpy(&record, decoded.getDataBuffer(), sizeof record);
            EXPECT_EQ(record.path, decoded.getDataBuffer() + sizeof record);
            EXPECT_STREQ(record.path, "/ab");
            EXPECT_EQ(std::memcmp(&record, &request, offsetof(tqmsg::EraseDataReq, path)), 0);
            EXPECT_EQ(record.eraseKind, request.eraseKind);
        }
    }
}

TEST(RecordCodec, RefusesRecordsThatCannotBeSent) {
    auto request = goldenEraseRequest();
    EXPECT_EQ(measureError(tqmsg::kEraseDataReq, asBytes(request), 31), tqerr::kInvalidArgument);
    request.path = nullptr;
    EXPECT_EQ(measureError(tqmsg::kEraseDataReq, asBytes(request), 40), tqerr::kInvalidArgument);
    EXPECT_EQ(measureError(tqmsg::kEraseDataReq, nullptr, 40), tqerr::kInvalidArgument);

    const auto prune = goldenPrune();
    EXPECT_EQ(measureError(tqmsg::kAfPruneReq, asBytes(prune), 47), tqerr::kInvalidArgument);
    EXPECT_EQ(measureError(tqmsg::kEraseDataResp, asBytes(prune), 31), tqerr::kInvalidArgument);
    EXPECT_EQ(measureError(kOtherCode, nullptr, 1), tqerr::kInvalidArgument);

    std::vector<char> huge(tqsession::kMaxBodyLength, 'p');
    EXPECT_EQ(measureError(kOtherCode, huge.data(), huge.size()), tqerr::kFrameTooLarge);
    EXPECT_EQ(measureError(kOtherCode, huge.data(), tqsession::kMaxBodyLength - 4), tqerr::kOk);
    huge.back() = '\0';
    request.path = huge.data();
    EXPECT_EQ(measureError(tqmsg::kEraseDataReq, asBytes(request), 32), tqerr::kFrameTooLarge);
}

// A buffer that owns the memory of an earlier receive takes a new form that
// fits in that memory, and gets new memory for a larger one (the sanitizer
// build checks that nothing leaks or is freed twice).
TEST(RecordDecoding, OwnedMemoryIsReusedWhenTheNewFormFits) {
    tqsDatabuf_v2 body;
    ASSERT_FALSE(tqsession::decodeBody(tqmsg::kAfPruneReq, kGoldenPruneBody.data(),
                                       kGoldenPruneBody.size(), body)
                     .IsError());
    const char* first = body.getDataBuffer();
    ASSERT_FALSE(tqsession::decodeBody(tqmsg::kEraseDataResp, kGoldenEraseResponseBody.data(),
                                       kGoldenEraseResponseBody.size(), body)
                     .IsError());
    EXPECT_EQ(body.getDataBuffer(), first);
    EXPECT_EQ(body.getValidLen(), 32u);
    const std::string longer = bytes({0, 0, 0, 60}) + std::string(60, 'x');
    ASSERT_FALSE(
        tqsession::decodeBody(static_cast<uint32_t>(kOtherCode), longer.data(), longer.size(), body)
            .IsError());
    EXPECT_TRUE(body.ownsData());
    EXPECT_EQ(std::string(body.getDataBuffer(), body.getValidLen()), std::string(60, 'x'));
}

// A response arriving for a caller's 32-byte record inside larger memory:
// exactly 32 bytes are written.
TEST(RecordDecoding, ResponseFillsCallerRecordAndNothingMore) {
    char memory[64];
    std::memset(memory, 0xAA, sizeof memory);
    tqsDatabuf_v2 body;
    body.setExternalBuffer(memory, sizeof memory);
    ASSERT_FALSE(tqsession::decodeBody(tqmsg::kEraseDataResp, kGoldenEraseResponseBody.data(),
                                       kGoldenEraseResponseBody.size(), body)
                     .IsError());
    EXPECT_FALSE(body.ownsData());
    EXPECT_EQ(body.getDataBuffer(), memory);
    EXPECT_EQ(body.getValidLen(), 32u);
    const auto expected = goldenEraseResponse();
    EXPECT_EQ(std::memcmp(memory, &expected, sizeof expected), 0);
    for (size_t i = 32; i < sizeof memory; ++i) {
        ASSERT_EQ(memory[i], '\xAA') << "byte " << i;
    }
}

// The buffer still refers to the erase request, whose handed length counts
// the separate path: the response replaces the record and only the record.
TEST(RecordDecoding, ResponseReplacesTheRequestRecordItWasAskedWith) {
    char path[] = "/clients/seven/data";
    tqmsg::EraseDataReq request{};
    request.path = path;
    tqsDatabuf_v2 body;
    body.setExternalBuffer(reinterpret_cast<char*>(&request),
                           sizeof request + std::strlen(path) + 1);
    ASSERT_FALSE(tqsession::decodeBody(tqmsg::kEraseDataResp, kGoldenEraseResponseBody.data(),
                                       kGoldenEraseResponseBody.size(), body)
                     .IsError());
    EXPECT_EQ(body.getValidLen(), sizeof request);
    tqmsg::EraseDataResp response;
    std::memcpy(&response, &request, sizeof response);
    EXPECT_EQ(response.status, 1);
    EXPECT_EQ(response.tail, -2);
    EXPECT_STREQ(path, "/clients/seven/data");

    // A larger record arriving for the same buffer must not overrun the
    // 32-byte record: it lands in memory of the buffer's own.
    char path2[] = "/a/path/longer/than/the/prune/record";
    tqmsg::EraseDataReq second{};
    second.path = path2;
    body.setExternalBuffer(reinterpret_cast<char*>(&second), sizeof second + sizeof path2);
    const tqmsg::EraseDataReq before = second;
    ASSERT_FALSE(tqsession::decodeBody(tqmsg::kAfPruneReq, kGoldenPruneBody.data(),
                                       kGoldenPruneBody.size(), body)
                     .IsError());
    EXPECT_TRUE(body.ownsData());
    EXPECT_EQ(std::memcmp(&second, &before, sizeof second), 0);
}

// Every truncation and a few corruptions of each golden body are refused
// without touching the caller's memory.
TEST(RecordDecoding, MalformedBodiesAreRefusedUntouched) {
    const std::vector<std::pair<uint32_t, std::string>> goldens = {
        {tqmsg::kAfPruneReq, kGoldenPruneBody},
        {tqmsg::kEraseDataReq, kGoldenEraseRequestBody},
        {tqmsg::kEraseDataResp, kGoldenEraseResponseBody},
        {static_cast<uint32_t>(kOtherCode), kGoldenOpaqueBody}};
    for (const auto& [code, golden] : goldens) {
        for (size_t length = 0; length < golden.size(); ++length) {
            char memory[64];
            std::memset(memory, 0xAA, sizeof memory);
            tqsDatabuf_v2 body;
            body.setExternalBuffer(memory, sizeof memory);
            EXPECT_EQ(tqsession::decodeBody(code, golden.data(), length, body).Code(),
                      tqerr::kProtocol)
                << std::hex << code << " cut to " << std::dec << length;
            EXPECT_EQ(body.getValidLen(), sizeof memory);
            for (char byte : memory) {
                ASSERT_EQ(byte, '\xAA');
            }
        }
        const std::string longer = golden + std::string(4, '\0');
        tqsDatabuf_v2 body;
        EXPECT_EQ(tqsession::decodeBody(code, longer.data(), longer.size(), body).Code(),
                  tqerr::kProtocol);
    }
    std::string nulInPath = kGoldenEraseRequestBody;
    nulInPath[21] = '\0';
    tqsDatabuf_v2 body;
    EXPECT_EQ(tqsession::decodeBody(tqmsg::kEraseDataReq, nulInPath.data(), nulInPath.size(), body)
                  .Code(),
              tqerr::kProtocol);
    std::string hugePath = kGoldenEraseRequestBody;
    hugePath[16] = '\x7F';
    EXPECT_EQ(
        tqsession::decodeBody(tqmsg::kEraseDataReq, hugePath.data(), hugePath.size(), body).Code(),
        tqerr::kProtocol);
}

// Random bodies of every kind: decoding either refuses them or produces a
// form of consistent size; the sanitizer build checks the memory accesses.
TEST(RecordDecoding, RandomBodiesNeverOverrun) {
    std::mt19937 random(20240607);
    const uint32_t codes[] = {tqmsg::kAfPruneReq, tqmsg::kEraseDataReq, tqmsg::kEraseDataResp,
                              static_cast<uint32_t>(kOtherCode)};
    for (int round = 0; round < 4000; ++round) {
        const uint32_t code = codes[round % 4];
        std::vector<char> wire(random() % 72);
        for (char& byte : wire) {
            byte = static_cast<char>(random() % 4 == 0 ? random() : 0);
        }
        char memory[32];
        tqsDatabuf_v2 body;
        body.setExternalBuffer(memory, sizeof memory);
        CYxError result = tqsession::decodeBody(code, wire.data(), wire.size(), body);
        if (result.IsError()) {
            EXPECT_EQ(result.Code(), tqerr::kProtocol);
            continue;
        }
        EXPECT_LE(body.getValidLen(), wire.size() + sizeof(tqmsg::EraseDataReq));
    }
}

TEST(Handshake, HelloTravelsAsGoldenBytes) {
    tqsession::Hello hello;
    ASSERT_FALSE(tqsession::makeHello(indexService(), "host1", hello).IsError());
    std::string body;
    ASSERT_FALSE(tqsession::encodeHello(hello, body).IsError());
    EXPECT_EQ(body, bytes({0, 0, 0, 1, 0, 0, 0, 8}) + "sLNIDXMA" + bytes({0, 0, 0, 8}) +
                        "sLPIDXMA" + bytes({0, 0, 0, 5}) + "host1" + bytes({0, 0, 0}));

    tqsession::Hello decoded;
    ASSERT_FALSE(tqsession::decodeHello(body.data(), body.size(), decoded).IsError());
    EXPECT_EQ(decoded.library, "sLNIDXMA");
    EXPECT_EQ(decoded.entry, "sLPIDXMA");
    EXPECT_EQ(decoded.localName, "host1");

    for (size_t length = 0; length < body.size(); ++length) {
        EXPECT_EQ(tqsession::decodeHello(body.data(), length, decoded).Code(), tqerr::kProtocol);
    }
}

TEST(Handshake, ServiceFieldsAreReadWithinTheirBounds) {
    tqsExecuteRemoteDllType service;
    std::memset(service.remoteLibraryName, 'L', sizeof service.remoteLibraryName);
    service.separator = 'S';
    std::memset(service.remoteEntryName, 'E', sizeof service.remoteEntryName);
    std::memset(service.reserved, 'R', sizeof service.reserved);
    tqsession::Hello hello;
    ASSERT_FALSE(tqsession::makeHello(service, nullptr, hello).IsError());
    EXPECT_EQ(hello.library, std::string(256, 'L'));
    EXPECT_EQ(hello.entry, std::string(256, 'E'));
    EXPECT_EQ(hello.localName, "");

    const std::string tooLong(tqsession::kMaxLocalNameLength + 1, 'n');
    EXPECT_EQ(tqsession::makeHello(service, tooLong.c_str(), hello).Code(),
              tqerr::kInvalidArgument);
}

TEST(HostNames, ParseNamePortAndBracketedIpv6) {
    const struct {
        const char* text;
        const char* host;
        uint16_t port;
    } good[] = {{"ci-server", "ci-server", tqsession::kDefaultPort},
                {"ci-server:9000", "ci-server", 9000},
                {"127.0.0.1:1", "127.0.0.1", 1},
                {"[::1]:65535", "::1", 65535},
                {"[::1]", "::1", tqsession::kDefaultPort},
                {"::1", "::1", tqsession::kDefaultPort}};
    for (const auto& entry : good) {
        tqsession::HostPort parsed;
        ASSERT_FALSE(tqsession::parseHostPort(entry.text, parsed).IsError()) << entry.text;
        EXPECT_EQ(parsed.host, entry.host) << entry.text;
        EXPECT_EQ(parsed.port, entry.port) << entry.text;
    }
    for (const char* bad : {"", ":80", "host:", "host:0", "host:65536", "host:8o", "[::1", "[]:80",
                            "[::1]80", "[::1]:"}) {
        tqsession::HostPort parsed;
        EXPECT_EQ(tqsession::parseHostPort(bad, parsed).Code(), tqerr::kInvalidArgument) << bad;
    }
    tqsession::HostPort parsed;
    EXPECT_EQ(tqsession::parseHostPort(nullptr, parsed).Code(), tqerr::kInvalidArgument);
}

TEST(WaitUnits, EnvironmentValueIsValidatedAndApplied) {
    EXPECT_EQ(tqsession::parseWaitUnitMs(nullptr), 1000);
    EXPECT_EQ(tqsession::parseWaitUnitMs("25"), 25);
    for (const char* bad : {"", "0", "-5", "12ms", "99999999999", "3600001"}) {
        EXPECT_EQ(tqsession::parseWaitUnitMs(bad), 1000) << bad;
    }
    EXPECT_EQ(tqsession::waitUnitMs(), kTestWaitUnitMs);
}

}  // namespace
}  // namespace sessiontest
