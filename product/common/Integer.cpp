#include "common/Integer.h"

namespace tqcommon {

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool startsWithHexPrefix(std::string_view text) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// The sign and magnitude of `token`; false when it is not a number in
// `notation` or its magnitude exceeds 64 bits.
bool parseMagnitude(std::string_view token, Notation notation, bool& negative,
                    uint64_t& magnitude) {
    negative = false;
    uint64_t base = 10;
    if (notation == Notation::SignedDecimalOrHex) {
        negative = !token.empty() && token[0] == '-';
        if (!token.empty() && (token[0] == '-' || token[0] == '+')) {
            token.remove_prefix(1);
        }
        if (startsWithHexPrefix(token)) {
            base = 16;
            token.remove_prefix(2);
        }
    }
    if (token.empty()) {
        return false;
    }
    constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max();
    magnitude = 0;
    for (const char c : token) {
        const int digit = digitValue(c);
        if (digit < 0 || static_cast<uint64_t>(digit) >= base) {
            return false;
        }
        const auto next = static_cast<uint64_t>(digit);
        if (magnitude > (kMost - next) / base) {
            return false;
        }
        magnitude = magnitude * base + next;
    }
    return true;
}

}  // namespace

bool parseInteger(std::string_view token, int64_t least, int64_t most, int64_t& value,
                  Notation notation) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!parseMagnitude(token, notation, negative, magnitude)) {
        return false;
    }
    constexpr uint64_t kLargestNegative = uint64_t{1} << 63;
    if (magnitude > (negative ? kLargestNegative : kLargestNegative - 1)) {
        return false;
    }
    const auto parsed = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
    if (parsed < least || parsed > most) {
        return false;
    }
    value = parsed;
    return true;
}

bool parseWideId(std::string_view token, int64_t& value) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!parseMagnitude(token, Notation::SignedDecimalOrHex, negative, magnitude)) {
        return false;
    }
    if (negative) {
        return parseInteger(token, value);
    }
    value = static_cast<int64_t>(magnitude);
    return true;
}

}  // namespace tqcommon
