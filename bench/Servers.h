// Real servers beside the benchmarks: the reference CI server (cisrv) with an
// index of documents to erase, driven through the session protocol, and a
// Redis server for the comparison with a well-known request/response server.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Process.h"
#include "TqSession.h"
#include "TqWire.h"

namespace bench {

class CiServer {
public:
    // An index in `folder` holding `documents` documents of client 10, app
    // type 33 in cell number 4711, one per path, then `cisrv serve` on it
    // with its durability settings as shipped.
    CiServer(const std::string& cisrv, const std::string& folder, size_t documents);

    uint16_t port() const { return m_port; }
    // Takes the path of a document no erase has named yet: every erase then
    // removes one document and its commit has something to make durable.
    // False once all are taken.
    bool takePath(std::string& path);
    size_t pathsLeft() const;
    // Erases handed out so far (every one was confirmed, or its benchmark failed).
    size_t pathsTaken() const;
    // Stops the server (it commits what it holds) and returns the number of
    // index commits its log reports; -1 when the log does not say.
    long stop();

private:
    static std::string pathOf(size_t index);
    void fillIndex(const std::string& cisrv, const std::string& index) const;

    const size_t m_documents;
    const std::string m_log;
    std::atomic<size_t> m_taken{0};
    uint16_t m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

// A session with a CI server, attached like the helper library attaches.
class CiSession {
public:
    explicit CiSession(uint16_t port);
    // One erase; true when the server confirmed it (status 1).
    bool erase(const std::string& path);

private:
    tqwire::Connection m_connection;
    tqsDatabuf_v2 m_reply;
};

class RedisServer {
public:
    // Starts `redisServer` on 127.0.0.1 at a free port, without persistence.
    RedisServer(const std::string& redisServer, const std::string& folder);
    uint16_t port() const { return m_port; }

private:
    uint16_t m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

// Requests per second that `redis-benchmark -t ping_inline -c 1 -P 1` reports
// for `requests` requests.
double redisPingRate(const std::string& redisBenchmark, uint16_t port, int requests);
// The rate in the quiet (-q) output of redis-benchmark; throws
// std::runtime_error when there is none.
double parseRedisRate(const std::string& output);

}  // namespace bench
