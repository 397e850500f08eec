// The one integer parser of the tools (tqci, cisrv, tqdir): ids and numbers
// on command lines and in the lists the tools read.
//
// A number is one whole token: an optional sign, then decimal digits or "0x"
// and hex digits. Nothing else is accepted: no blanks, no second sign or
// prefix, no trailing characters, no embedded NUL.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

namespace tqtool {

namespace detail {

inline int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The sign and magnitude of `token`; false when it is not a number or its
// magnitude exceeds 64 bits.
inline bool parseMagnitude(const std::string& token, bool& negative, uint64_t& magnitude) {
    size_t at = 0;
    negative = !token.empty() && token[0] == '-';
    if (!token.empty() && (token[0] == '-' || token[0] == '+')) ++at;
    uint64_t base = 10;
    if (token.compare(at, 2, "0x") == 0 || token.compare(at, 2, "0X") == 0) {
        base = 16;
        at += 2;
    }
    if (at == token.size()) return false;
    constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max();
    magnitude = 0;
    for (; at < token.size(); ++at) {
        const int digit = digitValue(token[at]);
        if (digit < 0 || static_cast<uint64_t>(digit) >= base) return false;
        const auto value = static_cast<uint64_t>(digit);
        if (magnitude > (kMost - value) / base) return false;
        magnitude = magnitude * base + value;
    }
    return true;
}

}  // namespace detail

// `token` as a value from `least` to `most`; false for anything else.
inline bool parseInteger(const std::string& token, int64_t least, int64_t most, int64_t& value) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!detail::parseMagnitude(token, negative, magnitude)) return false;
    constexpr uint64_t kLargestNegative = uint64_t{1} << 63;
    if (magnitude > (negative ? kLargestNegative : kLargestNegative - 1)) return false;
    const auto parsed = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
    if (parsed < least || parsed > most) return false;
    value = parsed;
    return true;
}

// `token` as a value of `Int`'s whole range.
template <typename Int>
bool parseInteger(const std::string& token, Int& value) {
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
inline bool parseWideId(const std::string& token, int64_t& value) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!detail::parseMagnitude(token, negative, magnitude)) return false;
    if (negative) return parseInteger(token, value);
    value = static_cast<int64_t>(magnitude);
    return true;
}

}  // namespace tqtool
