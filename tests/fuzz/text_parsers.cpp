// Fuzz target: the parsers of text that comes from files, the command line or
// the environment, each held to a reference reading of the same text. The
// first input byte picks the parser (modulo 3), the rest is the text:
//   0: readPruneList (tqci's prune list file; any bytes, NULs included);
//   1: tqsession::parseHostPort (a C string: the text up to its first NUL);
//   2: tqsession::parseWaitUnitMs (a C string, as the environment gives it).
#include <netdb.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "session/TqWire.h"
#include "tqci/PruneList.h"

namespace {

enum Parser : uint8_t { kPruneList = 0, kHostPort = 1, kWaitUnit = 2, kParsers = 3 };

// Longest host text: a maximal DNS name (NI_MAXHOST) plus brackets and a port.
constexpr size_t kMaxHostText = NI_MAXHOST + 8;
constexpr int64_t kMaxWaitUnitMs = 3600 * 1000;
constexpr int64_t kMaxPort = 65535;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits only, leading zeros allowed, as a value from 1 to `most`.
bool referenceDigits(const std::string& text, int64_t most, int64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const size_t first = text.find_first_not_of('0');
    if (first == std::string::npos || text.size() - first > 18) {
        return false;
    }
    value = std::stoll(text.substr(first));
    return value <= most;
}

// The whitespace that separates fields of a prune list line (isspace in the C locale).
bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int hexDigit(char c) {
    if (isDigit(c)) {
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

// An optional sign, then decimal digits or 0x and hex digits, nothing else,
// within 32 bits.
bool referenceInt32(const std::string& token, int32_t& value) {
    size_t at = token[0] == '-' || token[0] == '+' ? 1 : 0;
    const int base = token.compare(at, 2, "0x") == 0 || token.compare(at, 2, "0X") == 0 ? 16 : 10;
    if (base == 16) {
        at += 2;
    }
    if (at == token.size()) {
        return false;
    }
    int64_t magnitude = 0;
    for (; at < token.size(); ++at) {
        const int digit = hexDigit(token[at]);
        if (digit < 0 || digit >= base) {
            return false;
        }
        magnitude = magnitude * base + digit;
        if (magnitude > int64_t{1} << 31) {
            return false;
        }
    }
    const int64_t signedValue = token[0] == '-' ? -magnitude : magnitude;
    if (signedValue > INT32_MAX) {
        return false;
    }
    value = static_cast<int32_t>(signedValue);
    return true;
}

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    for (size_t at = 0; at < line.size();) {
        while (at < line.size() && isBlank(line[at])) {
            ++at;
        }
        const size_t start = at;
        while (at < line.size() && !isBlank(line[at])) {
            ++at;
        }
        if (at > start) {
            fields.push_back(line.substr(start, at - start));
        }
    }
    return fields;
}

// Reads the list line by line as its format says; returns the 1-based number
// of the first bad line, or 0.
int referencePruneList(const std::string& text, std::vector<_PruneElem>& elements) {
    int number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::vector<std::string> fields = fieldsOf(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (fields.empty() || fields[0][0] == '#') {
            continue;
        }
        if (fields.size() != 3 && fields.size() != 5) {
            return number;
        }
        int32_t values[5] = {0, 0, 0, 0, 0};
        for (size_t i = 0; i < fields.size(); ++i) {
            if (!referenceInt32(fields[i], values[i])) {
                return number;
            }
        }
        elements.push_back(_PruneElem{values[0], values[1], values[2], values[3], values[4], 0});
    }
    return 0;
}

bool sameElements(const std::vector<_PruneElem>& a, const std::vector<_PruneElem>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(_PruneElem)) == 0);
}

void checkPruneList(const std::string& text) {
    std::istringstream in(text);
    std::vector<_PruneElem> elements;
    PruneListError error;
    const bool read = readPruneList(in, elements, error);
    std::vector<_PruneElem> expected;
    const int badLine = referencePruneList(text, expected);
    FUZZ_CHECK(read == (badLine == 0));
    if (!read) {
        FUZZ_CHECK(error.line == badLine && !error.message.empty());
    }
    FUZZ_CHECK(sameElements(elements, expected));
}

bool referencePort(const std::string& digits, uint16_t& port) {
    int64_t value = 0;
    if (!referenceDigits(digits, kMaxPort, value)) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// "name[:port]": brackets around an address with colons when a port follows;
// several colons without brackets are a bare IPv6 literal.
bool referenceHostPort(const std::string& text, tqsession::HostPort& out) {
    out = tqsession::HostPort();
    if (text.empty() || text.size() > kMaxHostText) {
        return false;
    }
    if (text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close < 2) {
            return false;
        }
        const std::string rest = text.substr(close + 1);
        if (!rest.empty() && (rest[0] != ':' || !referencePort(rest.substr(1), out.port))) {
            return false;
        }
        out.host = text.substr(1, close - 1);
        return true;
    }
    const size_t colon = text.find(':');
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
        out.host = text;
        return true;
    }
    if (colon == 0 || !referencePort(text.substr(colon + 1), out.port)) {
        return false;
    }
    out.host = text.substr(0, colon);
    return true;
}

void checkHostPort(const std::string& text) {
    tqsession::HostPort parsed;
    const CYxError result = tqsession::parseHostPort(text.c_str(), parsed);
    tqsession::HostPort expected;
    const bool valid = referenceHostPort(text, expected);
    FUZZ_CHECK(result.Code() == (valid ? tqerr::kOk : tqerr::kInvalidArgument));
    if (!valid) {
        return;
    }
    FUZZ_CHECK(parsed.host == expected.host && parsed.port == expected.port);
    FUZZ_CHECK(!parsed.host.empty() && parsed.port != 0);
}

void checkWaitUnit(const std::string& text) {
    int64_t expected = tqsession::kDefaultWaitUnitMs;
    int64_t value = 0;
    if (referenceDigits(text, kMaxWaitUnitMs, value)) {
        expected = value;
    }
    FUZZ_CHECK(tqsession::parseWaitUnitMs(text.c_str()) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::ByteReader input(data, size);
    const uint8_t parser = input.byte() % kParsers;
    const std::string text(reinterpret_cast<const char*>(input.rest()), input.restSize());
    const std::string cString(text.c_str());
    switch (parser) {
        case kPruneList: checkPruneList(text); break;
        case kHostPort: checkHostPort(cString); break;
        default: checkWaitUnit(cString); break;
    }
    return 0;
}
