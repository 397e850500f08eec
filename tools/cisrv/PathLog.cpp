// Paths in log lines: as they are, as a keyed hash, or not at all.
#include "cisrv/PathLog.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "cisrv/Escape.h"
#include "common/ErrorResult.h"

namespace cisrv {

namespace {

// Paths longer than this are cut in log lines (a path may be up to 1 MiB).
constexpr size_t kMaxLoggedPath = 1024;
constexpr size_t kShortestKey = 16;
constexpr size_t kLongestKey = 4096;

std::mutex g_mutex;
PathLogging g_logging;

}  // namespace

void setPathLogging(const PathLogging& logging) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_logging = logging;
}

std::string loggedPath(const std::string& path) {
    std::unique_lock<std::mutex> lock(g_mutex);
    switch (g_logging.mode) {
        case PathLogging::Mode::Hash: return pathHash(g_logging.key, path);
        case PathLogging::Mode::No: return "[path not logged]";
        case PathLogging::Mode::Yes: break;
    }
    lock.unlock();
    if (path.size() <= kMaxLoggedPath) {
        return '"' + escapeControl(path) + '"';
    }
    return '"' + escapeControl(path.substr(0, kMaxLoggedPath)) + "...(" +
           std::to_string(path.size()) + " bytes)\"";
}

std::string pathHash(const std::string& key, const std::string& path) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(path.data()), path.size(), digest,
             &length) == nullptr) {
        return "hmac-sha256:unavailable";
    }
    static const char kHex[] = "0123456789abcdef";
    std::string text = "hmac-sha256:";
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xf];
    }
    return text;
}

CYxError readPathKey(const std::string& file, std::string& key) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        return tqcommon::ioError("cannot read the path key " + file + ": " + std::strerror(errno));
    }
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return tqcommon::ioError("the path key " + file +
                                 " may be read or written by group or others; make it its "
                                 "owner's only (chmod 600 " +
                                 file + ")");
    }
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        return tqcommon::ioError("cannot read the path key " + file);
    }
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) {
        bytes.pop_back();
    }
    if (bytes.size() < kShortestKey || bytes.size() > kLongestKey) {
        return tqcommon::ioError("the path key " + file + " holds " + std::to_string(bytes.size()) +
                                 " bytes; it needs 16 to 4096 (openssl rand -hex 32 > " + file +
                                 ")");
    }
    key = std::move(bytes);
    return CYxError();
}

}  // namespace cisrv
