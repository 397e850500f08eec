// The one integer parser of tqci: ids on the command line and in prune lists.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

// A whole decimal token as a signed 32-bit integer; false for anything else
// (empty, trailing characters, an embedded NUL, out of range).
inline bool parseInt32(const std::string& token, int32_t& value) {
    if (token.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(token.c_str(), &end, 10);
    if (errno != 0 || end != token.c_str() + token.size() || parsed < INT32_MIN ||
        parsed > INT32_MAX) {
        return false;
    }
    value = static_cast<int32_t>(parsed);
    return true;
}
