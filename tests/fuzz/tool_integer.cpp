// Fuzz target: the shared integer parser (product/common/Integer.h): an
// optional sign, decimal or hex after 0x, nothing else. The input, up to its
// first NUL (an argument cannot hold one), is compared with a reference
// reading of that format in three ranges: a directory id (values up to
// 2^64-1 taken as their two's complement), signed 64 and signed 32 bits.
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "common/Integer.h"

namespace {

// Read by lookup, not by ranges as the parser does: a mistake in one shows.
int digitValue(char c) {
    static constexpr char kLower[] = "0123456789abcdef";
    static constexpr char kUpper[] = "0123456789ABCDEF";
    for (int value = 0; value < 16; ++value) {
        if (c == kLower[value] || c == kUpper[value]) {
            return value;
        }
    }
    return -1;
}

using Wide = unsigned __int128;
constexpr Wide kTwo63 = Wide{1} << 63;
constexpr Wide kTwo64 = Wide{1} << 64;

// The sign and the magnitude, held at 2^64 once it is larger.
bool referenceNumber(const std::string& text, bool& negative, Wide& magnitude) {
    negative = !text.empty() && text[0] == '-';
    size_t at = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    int base = 10;
    if (text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0) {
        base = 16;
        at += 2;
    }
    if (at == text.size()) {
        return false;
    }
    magnitude = 0;
    for (; at < text.size(); ++at) {
        const int digit = digitValue(text[at]);
        if (digit < 0 || digit >= base) {
            return false;
        }
        magnitude = magnitude * static_cast<Wide>(base) + static_cast<Wide>(digit);
        if (magnitude > kTwo64) {
            magnitude = kTwo64;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data),
                           ::strnlen(reinterpret_cast<const char*>(data), size));
    bool negative = false;
    Wide magnitude = 0;
    const bool number = referenceNumber(text, negative, magnitude);
    const bool fits64 = number && (negative ? magnitude <= kTwo63 : magnitude < kTwo63);
    const bool fitsWide = fits64 || (number && !negative && magnitude < kTwo64);
    const Wide limit32 = Wide{1} << 31;
    const bool fits32 = number && (negative ? magnitude <= limit32 : magnitude < limit32);
    const auto low = static_cast<uint64_t>(magnitude);
    const uint64_t bits = negative ? 0 - low : low;

    int64_t wide = 0;
    FUZZ_CHECK(tqcommon::parseWideId(text, wide) == fitsWide);
    if (fitsWide) {
        FUZZ_CHECK(static_cast<uint64_t>(wide) == bits);
    }
    int64_t value64 = 0;
    FUZZ_CHECK(tqcommon::parseInteger(text, value64) == fits64);
    if (fits64) {
        FUZZ_CHECK(static_cast<uint64_t>(value64) == bits);
    }
    int32_t value32 = 0;
    FUZZ_CHECK(tqcommon::parseInteger(text, value32) == fits32);
    if (fits32) {
        FUZZ_CHECK(static_cast<int64_t>(value32) == static_cast<int64_t>(bits));
    }
    return 0;
}
