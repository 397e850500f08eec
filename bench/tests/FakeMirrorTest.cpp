// The fake-alone baseline of the core benchmarks makes exactly the product
// calls the library makes: should the library change what it calls, this
// fails and the baseline must follow, or the library's measured own cost
// would be wrong.
#include <gtest/gtest.h>

#include "FakeMirror.h"

namespace bench {
namespace {

TEST(FakeMirrorTest, EraseBaselineMakesTheLibrarysCallsAndLines) {
    EXPECT_EQ(eraseMirrorMismatch(), "");
}

TEST(FakeMirrorTest, PruneElementBaselineMakesTheLibrarysCalls) {
    EXPECT_EQ(pruneMirrorMismatch(), "");
}

TEST(FakeMirrorTest, SessionNamesAreHiddenButNothingElse) {
    EXPECT_EQ(withoutSessionNames({"Send S12 code=1", "CTqNetwork() S3", "Sx S", "TQClient(S9x)"}),
              (std::vector<std::string>{"Send S# code=1", "CTqNetwork() S#", "Sx S",
                                        "TQClient(S9x)"}));
}

TEST(FakeMirrorTest, LastElementIsTheLastBufferLifetime) {
    const std::vector<std::string> calls = {"tqsDatabuf_v2()", "a", "~tqsDatabuf_v2()",
                                            "tqsDatabuf_v2()", "b", "c", "~tqsDatabuf_v2()",
                                            "Disconnect S2"};
    EXPECT_EQ(lastElementCalls(calls),
              (std::vector<std::string>{"tqsDatabuf_v2()", "b", "c", "~tqsDatabuf_v2()"}));
    EXPECT_TRUE(lastElementCalls({"x"}).empty());
}

}  // namespace
}  // namespace bench
