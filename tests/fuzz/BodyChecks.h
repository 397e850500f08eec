// Decoding one received body every way a receive can, with the checks that
// hold whatever the body is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TqSession.h"

namespace fuzzsupport {

// Decodes the body of message `code` into a fresh buffer, into a 32-byte
// caller record (valid length exact, then overstated as an erase request's
// length overstates its record) and into `reused`, which may own memory of an
// earlier receive. Checks that caller memory never takes more than 32 bytes,
// that a refused body leaves every buffer as it was, that all forms agree,
// that an erase request's path lies NUL-terminated in the owned memory, and
// that re-encoding gives the body back (padding aside) and decodes the same.
// Returns whether the body decoded.
bool checkBodyDecoding(uint32_t code, const char* body, size_t length, tqsDatabuf_v2& reused);

}  // namespace fuzzsupport
