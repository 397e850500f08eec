// The shared integer parser: the edges of both notations and of the ranges.
#include <gtest/gtest.h>

#include <string>

#include "common/Integer.h"

namespace {

using tqcommon::Notation;
using tqcommon::parseInteger;

struct Case {
    std::string text;
    Notation notation;
    bool parses;
    int64_t value;
};

TEST(Integer, AcceptsWholeTokensOfItsNotationOnly) {
    const Notation any = Notation::SignedDecimalOrHex;
    const Notation digits = Notation::DigitsOnly;
    for (const Case& c : {
             Case{"0x7fffffffffffffff", any, true, INT64_MAX},
             Case{"-9223372036854775808", any, true, INT64_MIN},
             Case{"9223372036854775808", any, false, 0},
             Case{"+0X1f", any, true, 31},
             Case{"-0x", any, false, 0},
             Case{"007", digits, true, 7},
             Case{"+7", digits, false, 0},
             Case{"0x7", digits, false, 0},
             Case{"99999999999999999999", digits, false, 0},
             Case{std::string("7\0", 2), digits, false, 0},
             Case{"", digits, false, 0},
         }) {
        int64_t value = -42;
        EXPECT_EQ(c.parses, parseInteger(c.text, INT64_MIN, INT64_MAX, value, c.notation))
            << c.text;
        EXPECT_EQ(c.parses ? c.value : -42, value) << c.text;
    }
}

TEST(Integer, RefusesValuesOutsideTheRangeAndLeavesTheTarget) {
    int64_t value = 5;
    EXPECT_FALSE(parseInteger("0", 1, 65535, value, Notation::DigitsOnly));
    EXPECT_FALSE(parseInteger("65536", 1, 65535, value, Notation::DigitsOnly));
    EXPECT_EQ(5, value);
    int64_t wide = 0;
    EXPECT_TRUE(tqcommon::parseWideId("18446744073709551615", wide));
    EXPECT_EQ(-1, wide);
}

}  // namespace
