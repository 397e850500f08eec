// A throw-away cell for the benchmarks: a directory database made with the
// tqdir tool and a log folder, both in a temporary folder that the
// environment (TQ_DIRECTORY_DB, TQ_LOG_DIR) points the product libraries at.
// With $TQ_BENCH_POSTGRES (a connection URI) the same records also go to that
// PostgreSQL database, for the cases that point TQ_DIRECTORY_DB at it.
// Construct it before the library is first used.
#pragma once

#include <string>
#include <vector>

#include "Process.h"

namespace bench {

class BenchCell {
public:
    static constexpr int kCellId = 1;
    static constexpr int kCellNumber = 4711;
    static constexpr int kAppType = 33;

    BenchCell();

    const std::string& root() const { return m_root.path(); }
    // The PostgreSQL directory; empty without one.
    const std::string& postgres() const { return m_postgres; }
    std::string logFolder() const { return root() + "/log"; }

    // A cloud whose CI server is the client `serverClientId`, reached at `host`.
    void addCloud(int cloudId, int serverClientId, const std::string& host);
    // A client whose data of kAppType the clouds `cloudIds` index, in that order.
    void addIndexedClient(int clientId, const std::vector<int>& cloudIds);
    // Empties every log file, so that a long run does not fill the disk.
    void truncateLogs() const;

private:
    void tqdir(const std::vector<std::string>& arguments) const;

    TempDir m_root;
    std::string m_tqdir;
    std::string m_postgres;
};

}  // namespace bench
