#include "appmgr/ChangeWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace tqappmgr {

namespace {

// Writes, truncations and link changes of a watched file. Writes into the
// shared-memory index go through a mapping and raise nothing.
constexpr uint32_t kWatchedEvents = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// A name appearing in the database's folder.
constexpr uint32_t kFolderEvents = IN_CREATE | IN_MOVED_TO;
// The watch cannot be trusted any more.
constexpr uint32_t kWatchLost =
    IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT | IN_Q_OVERFLOW;

struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};

}  // namespace

ChangeWatch::~ChangeWatch() { stop(); }

bool ChangeWatch::start(const std::string& databasePath) {
    stop();
    const std::unique_ptr<char, FreeDeleter> resolved(::realpath(databasePath.c_str(), nullptr));
    if (!resolved) {
        return false;
    }
    const std::string database(resolved.get());
    const std::string log = database + "-wal";

    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0) {
        return false;
    }
    const std::filesystem::path given(databasePath);
    const std::string folder = given.has_parent_path() ? given.parent_path().string() : ".";
    m_name = given.filename().string();
    m_folderWatch = ::inotify_add_watch(m_fd, folder.c_str(), kFolderEvents);
    if (::inotify_add_watch(m_fd, database.c_str(), kWatchedEvents) < 0 ||
        ::inotify_add_watch(m_fd, log.c_str(), kWatchedEvents) < 0 || m_folderWatch < 0) {
        stop();
        return false;
    }
    return true;
}

void ChangeWatch::stop() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = -1;
    m_folderWatch = -1;
}

bool ChangeWatch::changedSinceLastLook() {
    if (m_fd < 0) {
        return true;
    }
    bool changed = false;
    alignas(inotify_event) char events[1024];
    for (;;) {
        const ssize_t got = ::read(m_fd, events, sizeof events);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && errno == EAGAIN) {
            return changed;
        }
        if (got <= 0) {
            stop();
            return true;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if ((event->mask & kWatchLost) != 0) {
                stop();
                return true;
            }
            // Other names in the folder come and go without touching the database.
            if (event->wd != m_folderWatch || (event->len > 0 && m_name == event->name)) {
                changed = true;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

}  // namespace tqappmgr
