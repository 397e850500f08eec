// Reading prune elements from the text the host tool accepts.

#include <gtest/gtest.h>

#include <sstream>

#include "tqci/PruneList.h"

namespace {

TEST(PruneListTest, ReadsThreeAndFiveColumnLinesSkippingCommentsAndBlanks) {
    std::istringstream in("# cell archive cloud aux1 aux2\n\n1001 77 3 -1 9\n  1002 78 -4\n");
    std::vector<_PruneElem> elements;
    PruneListError error;
    ASSERT_TRUE(readPruneList(in, elements, error));
    ASSERT_EQ(elements.size(), 2u);
    EXPECT_EQ(elements[0].vornCellNumber, 1001);
    EXPECT_EQ(elements[0].archiveFileId, 77);
    EXPECT_EQ(elements[0].cloudId, 3);
    EXPECT_EQ(elements[0].auxValue1, -1);
    EXPECT_EQ(elements[0].auxValue2, 9);
    EXPECT_EQ(elements[1].cloudId, -4);
    EXPECT_EQ(elements[1].auxValue1, 0);
    EXPECT_EQ(elements[1].spare, 0u);
}

TEST(PruneListTest, ReportsTheFirstMalformedLine) {
    const struct {
        const char* text;
        int line;
    } cases[] = {
        {"1 2\n", 1},                // too few columns
        {"1 2 3 4\n", 1},            // four columns
        {"1 2 3\n1 x 3\n", 2},       // not a number
        {"1 2 3\n\n1 2 3abc\n", 3},  // trailing garbage
        {"1 2 2147483648\n", 1},     // beyond 32 bits
        {"1 2 -2147483649\n", 1},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        std::vector<_PruneElem> elements;
        PruneListError error;
        EXPECT_FALSE(readPruneList(in, elements, error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_FALSE(error.message.empty());
    }
}

TEST(PruneListTest, AcceptsTheExtremes) {
    std::istringstream in("-2147483648 2147483647 0\n");
    std::vector<_PruneElem> elements;
    PruneListError error;
    ASSERT_TRUE(readPruneList(in, elements, error));
    EXPECT_EQ(elements[0].vornCellNumber, INT32_MIN);
    EXPECT_EQ(elements[0].archiveFileId, INT32_MAX);
}

}  // namespace
