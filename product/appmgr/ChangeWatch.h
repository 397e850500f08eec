// Tells a reader of the directory database whether the database may have
// changed since it last looked, so that answers read before can be reused
// without a read transaction per lookup.
#pragma once

#include <string>

namespace tqappmgr {

// Watches a database file and its write-ahead log with inotify. Every write
// that can change what a reader sees (a commit appended to the log, a
// checkpoint into the database file) raises an event before the writer's
// call returns, and a commit becomes visible to readers only after its log
// frames are written; so an event is pending by the time a change can be
// read. Deleting, moving or replacing either file, or a lost or overflowed
// event queue, counts as a change and ends the watch. A file moved or created
// under the database's name in its folder (a database replaced by rename, a
// symbolic link pointed elsewhere) counts as a change too; the reader then
// checks which file the name stands for.
class ChangeWatch {
public:
    ChangeWatch() = default;
    ~ChangeWatch();
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;

    // Starts watching the database at `databasePath` and its "-wal" file,
    // symbolic links resolved as the database library resolves them. False
    // when that is not possible: no inotify, the watch limit reached, no
    // write-ahead log (a database not in WAL mode).
    bool start(const std::string& databasePath);
    void stop();
    bool active() const { return m_fd >= 0; }

    // True when the database may have changed since the previous call (or
    // since start()); consumes the pending events. Always true while the
    // watch is not active.
    bool changedSinceLastLook();

private:
    int m_fd = -1;
    int m_folderWatch = -1;
    std::string m_name;  // the database's name in its folder
};

}  // namespace tqappmgr
