// How the session protocol's names are written down outside the helper
// library: the descriptor of the CI servers' index service, and message codes
// in texts.
#pragma once

#include <cstdint>
#include <string>

#include "TqSession.h"

namespace tqcommon {

// The remote index service of a CI server, as a session names it: both fields
// NUL-padded, everything else zero.
tqsExecuteRemoteDllType indexService();

// A message code as it appears in texts: "0x0E000703".
std::string hexCode(uint32_t code);

}  // namespace tqcommon
