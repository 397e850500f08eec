// What the network benchmarks run against besides the peer: a throw-away
// directory cell, the reference CI server (cisrv) with an index to erase
// from, and a Redis server for the comparison with a well-known
// request/response server.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Programs.h"
#include "TqSession.h"
#include "World.h"

namespace bench {

// A directory database made with tqdir and a log folder, both in a temporary
// folder that TQ_DIRECTORY_DB and TQ_LOG_DIR point the product libraries at;
// construct it before the library is first used. With $TQ_BENCH_POSTGRES (a
// connection URI) every record also goes to that PostgreSQL database.
class BenchCell {
public:
    BenchCell();
    // Removes the folder with everything in it.
    ~BenchCell();
    BenchCell(const BenchCell&) = delete;
    BenchCell& operator=(const BenchCell&) = delete;

    const std::string& root() const { return m_root; }
    // The PostgreSQL directory; empty without one.
    const std::string& postgres() const { return m_postgres; }

    // A cloud whose CI server is the client `serverClientId`, reached at `host`.
    void addCloud(int cloudId, int serverClientId, const std::string& host);
    // A client whose data the clouds `cloudIds` index, in that order.
    void addIndexedClient(int clientId, const std::vector<int>& cloudIds);
    // Empties every log file, so that a long run does not fill the disk.
    void truncateLogs() const;

private:
    void tqdir(std::vector<std::string> arguments) const;

    std::string m_root = "/tmp/tqci-bench-XXXXXX";
    std::string m_postgres;
};

// A session of the session library alone, attached as the library attaches.
class Session {
public:
    // `host` as a directory names it: "127.0.0.1:<port>".
    explicit Session(const std::string& host);
    // One erase of kOneServerClient's `path`; true when the server confirmed it.
    bool erase(const std::string& path);

private:
    CTqNetwork m_session;
};

// `cisrv serve` with its durability settings as shipped, on an index in
// `folder` holding `documents` documents of kOneServerClient, one per path.
class CiServer {
public:
    CiServer(const std::string& cisrv, const std::string& folder, size_t documents);

    std::string host() const { return "127.0.0.1:" + std::to_string(m_port); }
    // The path of a document no erase has named yet, so that every erase
    // removes one and its commit has something to make durable. Throws once
    // all are taken.
    std::string takePath();
    // Stops the server and describes what it did: the erases confirmed and
    // the index commits its log reports. Throws when the index does not hold
    // one document fewer for each erase confirmed.
    std::string stop();

private:
    const std::string m_cisrv;
    const std::string m_folder;
    const size_t m_documents;
    std::atomic<size_t> m_taken{0};
    uint16_t m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

class RedisServer {
public:
    // redis-server on 127.0.0.1 at a free port, without persistence.
    explicit RedisServer(const std::string& folder);
    // Requests per second `redis-benchmark -t ping_inline -c 1 -P 1` reports
    // for `requests` requests.
    double pingRate(int requests) const;

private:
    uint16_t m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

}  // namespace bench
