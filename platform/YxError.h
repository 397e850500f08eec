// CYxError: the result of every session operation (libYxUtils).
#pragma once

#include <cstdint>
#include <string>

#include "TqPlatformApi.h"

class TQ_PLATFORM_API CYxError {
public:
    // Success: code 0, no text.
    CYxError();
    // A result with a code; a negative code is an error. `text` may be null.
    CYxError(int32_t code, const char* text);
    CYxError(const CYxError& other);
    CYxError& operator=(const CYxError& other);
    ~CYxError();

    // True when the code is negative.
    bool IsError() const;
    // Human-readable description ("Success" for a non-error without text).
    std::string AsString() const;
    int32_t Code() const;

private:
    int32_t m_code;  // must stay the first member
    std::string m_text;
};

// Error codes used by the product libraries of this repository.
namespace tqerr {
constexpr int32_t kOk = 0;
constexpr int32_t kHostNotFound = -1001;
constexpr int32_t kConnectionRefused = -1002;
constexpr int32_t kTimedOut = -1003;
constexpr int32_t kPeerClosed = -1004;
constexpr int32_t kFrameTooLarge = -1005;
constexpr int32_t kProtocol = -1006;
constexpr int32_t kNotAttached = -1007;
constexpr int32_t kServiceRefused = -1008;
constexpr int32_t kInvalidArgument = -1009;
constexpr int32_t kIo = -1010;
constexpr int32_t kNoMemory = -1011;
constexpr int32_t kSecurity = -1012;
// The directory: no such record; a location that holds no directory database.
constexpr int32_t kNotFound = -1013;
constexpr int32_t kNotADirectory = -1014;
// Not an error: success with a line for the caller's log (an attach whose TLS
// certificate runs out soon, or whose changed TLS files could not be used).
constexpr int32_t kNotice = 1;
}  // namespace tqerr
