// Texts of the session's errors.
#include "session/Errors.h"

#include <cstring>

namespace tqsession::detail {

namespace {

// strerror_r comes in two shapes depending on the C library's feature macros.
[[maybe_unused]] std::string strerrorResult(int result, const char* buffer) {
    return result == 0 ? std::string(buffer) : std::string("unknown error");
}
[[maybe_unused]] std::string strerrorResult(const char* result, const char*) {
    return result != nullptr ? std::string(result) : std::string("unknown error");
}

}  // namespace

std::string errnoText(int errnoValue) {
    char buffer[256] = {};
    return strerrorResult(strerror_r(errnoValue, buffer, sizeof buffer), buffer);
}

CYxError errnoError(int32_t code, const std::string& what, const std::string& peer,
                    int errnoValue) {
    std::string text = what;
    if (!peer.empty()) {
        text += ": " + peer;
    }
    text += " (" + errnoText(errnoValue) + ")";
    return makeError(code, text);
}

}  // namespace tqsession::detail
