// How log lines show the path of an erase (--log-paths): as it is, as a keyed
// hash an auditor holding the key can check a given path against, or not at
// all. The count of documents and the ids stay in the line either way.
#pragma once

#include <string>

#include "YxError.h"

namespace cisrv {

struct PathLogging {
    enum class Mode { Yes, Hash, No };
    Mode mode = Mode::Yes;
    // Hash: the key of the HMAC-SHA256.
    std::string key;
};

// From now on, in the whole process, describe() shows paths so (the server
// sets it when it starts, before its sessions run).
void setPathLogging(const PathLogging& logging);

// The path as a log line shows it now: escaped and cut at 1024 bytes,
// "hmac-sha256:<64 hex digits>" of the whole path, or "[path not logged]".
std::string loggedPath(const std::string& path);

// "hmac-sha256:" and the lowercase hex HMAC-SHA256 of `path` under `key`.
std::string pathHash(const std::string& key, const std::string& path);

// Reads the key for --log-paths hash from `file`: its bytes without trailing
// line ends, at least 16. The file must be readable by its owner only.
CYxError readPathKey(const std::string& file, std::string& key);

}  // namespace cisrv
