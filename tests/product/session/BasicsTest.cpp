// CYxError and tqsDatabuf_v2.
#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "TqSession.h"
#include "YxError.h"

namespace {

TEST(YxError, CodeSignDecidesErrorAndTextDescribesIt) {
    const CYxError success;
    EXPECT_FALSE(success.IsError());
    EXPECT_EQ(success.Code(), tqerr::kOk);
    EXPECT_EQ(success.AsString(), "Success");

    const CYxError refused(tqerr::kConnectionRefused, "connection refused: 127.0.0.1:8403");
    EXPECT_TRUE(refused.IsError());
    EXPECT_EQ(refused.AsString(), "connection refused: 127.0.0.1:8403");

    const CYxError bare(tqerr::kTimedOut, nullptr);
    EXPECT_NE(bare.AsString().find("timed out"), std::string::npos);
    EXPECT_FALSE(CYxError(5, nullptr).IsError());
}

TEST(YxError, CopiesCarryCodeAndTextAndCodeComesFirst) {
    CYxError original(tqerr::kProtocol, "bad frame magic");
    CYxError copy(original);
    CYxError assigned;
    assigned = original;
    for (const CYxError* error : {&copy, &assigned}) {
        EXPECT_EQ(error->Code(), tqerr::kProtocol);
        EXPECT_EQ(error->AsString(), "bad frame magic");
    }
    int32_t firstWord = 0;
    std::memcpy(&firstWord, &original, sizeof firstWord);
    EXPECT_EQ(firstWord, tqerr::kProtocol);
}

TEST(Databuf, ExternalMemoryIsReferredToAndNeverFreed) {
    char memory[40] = "caller";
    tqsDatabuf_v2 buffer;
    EXPECT_EQ(buffer.getDataBuffer(), nullptr);
    buffer.setExternalBuffer(memory, sizeof memory);
    EXPECT_EQ(buffer.getDataBuffer(), memory);
    EXPECT_EQ(buffer.getValidLen(), sizeof memory);
    EXPECT_FALSE(buffer.ownsData());
    buffer.setValidLen(6);
    EXPECT_EQ(buffer.getValidLen(), 6u);
    buffer.reset();
    EXPECT_EQ(buffer.getDataBuffer(), nullptr);
    EXPECT_STREQ(memory, "caller");
}

// Owned memory is released by reset, by a new external buffer and by the
// destructor; the sanitizer build reports a leak or a double free.
TEST(Databuf, OwnedMemoryIsReleasedExactlyOnce) {
    char memory[8];
    tqsDatabuf_v2 buffer;
    buffer.adoptOwnedBuffer(new char[16], 16);
    EXPECT_TRUE(buffer.ownsData());
    EXPECT_EQ(buffer.getValidLen(), 16u);
    buffer.adoptOwnedBuffer(new char[4], 4);
    buffer.setExternalBuffer(memory, sizeof memory);
    EXPECT_FALSE(buffer.ownsData());
    buffer.adoptOwnedBuffer(new char[4], 4);
    buffer.reset();
    EXPECT_FALSE(buffer.ownsData());
    buffer.reset();
    tqsDatabuf_v2 dropped;
    dropped.adoptOwnedBuffer(new char[4], 4);
}

}  // namespace
