// The codecs as the session sources call them (not exported): success as a
// bool and `error` set only on failure, so that the path of a message that
// goes well builds no result objects.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TqSession.h"
#include "YxError.h"

namespace tqwire::detail {

bool measureBody(uint32_t code, const char* record, unsigned long length, size_t& bodyLength,
                 CYxError& error);
bool encodeBody(uint32_t code, const char* record, unsigned long length, char* out,
                size_t bodyLength, CYxError& error);
bool decodeBody(uint32_t code, const char* body, size_t bodyLength, tqsDatabuf_v2& target,
                CYxError& error);

}  // namespace tqwire::detail
