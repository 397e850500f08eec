// Building the product's result value (CYxError) from a code and a text.
#pragma once

#include <cstdint>
#include <string>

#include "YxError.h"

namespace tqcommon {

// An error `code` (one of tqerr's) with `text`.
inline CYxError makeError(int32_t code, const std::string& text) {
    return CYxError(code, text.c_str());
}

}  // namespace tqcommon
