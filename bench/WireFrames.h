// Whole frames as the session library puts them on the wire, built once with
// its own codecs so that the raw baselines send exactly the library's bytes.
#pragma once

#include <cstdint>
#include <string>

#include "TqMessages.h"

namespace bench {

// The path every erase of the benchmarks names.
constexpr char kErasePath[] = "/home/ann/photos";

std::string eraseRequestFrame(const tqmsg::EraseDataReq& record);
std::string eraseResponseFrame(int32_t status);
std::string pruneRequestFrame(const tqmsg::AfPruneReq& record);
// The hello of the CI servers' indexing service and the accept that answers it.
std::string helloFrame(const char* localName);
std::string acceptFrame();

// An erase request record of backed-up data pointing at `path`.
tqmsg::EraseDataReq eraseRecord(int32_t cellNumber, int32_t clientId, int32_t appType,
                                const char* path);

}  // namespace bench
