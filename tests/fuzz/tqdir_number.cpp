// Fuzz target: how tqdir reads the numbers on its command line: signed 64-bit,
// decimal or hex after 0x, an optional minus sign, values up to 2^64-1 taken
// as their two's complement. The input, up to its first NUL (an argument
// cannot hold one), is compared with a reference reading of that format.
//
// tqdir's parseNumber() is private to the tool's one source file, so this
// unit includes that file with its main() renamed and calls the function as
// it is. The headers the file includes come first, so that the renaming
// reaches nothing but the tool's main().
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "TqDirectory.h"

#define main tqdirMain
#include "tqdir.cpp"
#undef main

namespace {

constexpr uint64_t kLargestNegativeMagnitude = uint64_t{1} << 63;

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool referenceNumber(const std::string& text, int64_t& value) {
    const bool negative = !text.empty() && text[0] == '-';
    size_t at = negative ? 1 : 0;
    uint64_t base = 10;
    if (text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0) {
        base = 16;
        at += 2;
    }
    if (at == text.size()) return false;
    uint64_t magnitude = 0;
    for (; at < text.size(); ++at) {
        const int digit = digitValue(text[at]);
        if (digit < 0 || static_cast<uint64_t>(digit) >= base) return false;
        if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / base) return false;
        magnitude = magnitude * base + static_cast<uint64_t>(digit);
    }
    if (negative && magnitude > kLargestNegativeMagnitude) return false;
    value = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data),
                           ::strnlen(reinterpret_cast<const char*>(data), size));
    int64_t expected = 0;
    const bool valid = referenceNumber(text, expected);
    int64_t parsed = 0;
    FUZZ_CHECK(parseNumber(text, parsed) == valid);
    if (valid) FUZZ_CHECK(parsed == expected);
    return 0;
}
