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

// An I/O failure (tqerr::kIo) with `text`: a file, a database or a peer failed.
inline CYxError ioError(const std::string& text) { return makeError(tqerr::kIo, text); }

}  // namespace tqcommon
