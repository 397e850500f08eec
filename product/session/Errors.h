// Error results of the session sources (not exported): texts built the same
// way everywhere, and the guard that keeps exceptions inside the library.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "YxError.h"
#include "common/ErrorResult.h"

namespace tqsession::detail {

using tqcommon::makeError;
// The system's text for `errnoValue`.
std::string errnoText(int errnoValue);
// An error `code` with text "<what>: <peer> (<errno text>)" (no peer: "<what> (...)").
CYxError errnoError(int32_t code, const std::string& what, const std::string& peer, int errnoValue);

// Runs `operation`, turning an exception into an error: the session's calls
// report failures through their result and never throw.
template <typename Operation>
CYxError guarded(Operation operation) noexcept {
    try {
        return operation();
    } catch (const std::bad_alloc&) {
        return CYxError(tqerr::kNoMemory, "out of memory");
    } catch (const std::exception& failure) {
        return CYxError(tqerr::kIo, failure.what());
    } catch (...) {
        return CYxError(tqerr::kIo, "unexpected failure");
    }
}

}  // namespace tqsession::detail
