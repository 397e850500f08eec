#include "common/ProtocolNames.h"

#include <cstdio>
#include <cstring>

#include "TqMessages.h"

namespace tqcommon {

tqsExecuteRemoteDllType indexService() {
    tqsExecuteRemoteDllType service{};
    std::strncpy(service.remoteLibraryName, tqmsg::kRemoteIndexLibrary,
                 sizeof service.remoteLibraryName);
    std::strncpy(service.remoteEntryName, tqmsg::kRemoteIndexEntry, sizeof service.remoteEntryName);
    return service;
}

std::string hexCode(uint32_t code) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

}  // namespace tqcommon
