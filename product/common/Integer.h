// The one integer parser of the product libraries and tools: ids and numbers
// on command lines, in the lists the tools read, in environment settings and
// in text columns of the directory.
//
// A number is one whole token; nothing else is accepted: no blanks, no
// trailing characters, no embedded NUL. Leading zeros are allowed.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

namespace tqcommon {

enum class Notation {
    SignedDecimalOrHex,  // an optional sign, then decimal digits or "0x" and hex digits
    DigitsOnly,          // decimal digits and nothing else: no sign, no prefix
};

// `token` as a value from `least` to `most`; false for anything else, and
// `value` is then left as it was.
bool parseInteger(std::string_view token, int64_t least, int64_t most, int64_t& value,
                  Notation notation = Notation::SignedDecimalOrHex);

// `token` as a value of `Int`'s whole range.
template <typename Int>
bool parseInteger(std::string_view token, Int& value) {
    static_assert(std::numeric_limits<Int>::is_signed && sizeof(Int) <= sizeof(int64_t),
                  "a signed integer of at most 64 bits");
    int64_t parsed = 0;
    if (!parseInteger(token, std::numeric_limits<Int>::min(), std::numeric_limits<Int>::max(),
                      parsed)) {
        return false;
    }
    value = static_cast<Int>(parsed);
    return true;
}

// A directory id: any signed 64-bit value, or an unsigned one up to 2^64-1
// taken as its two's complement (18446744073709551615 is -1), as ids widened
// from 32 bits are written.
bool parseWideId(std::string_view token, int64_t& value);

}  // namespace tqcommon
