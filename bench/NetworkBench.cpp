// tqci_bench: the helper library on the real product libraries against a
// peer on 127.0.0.1, beside raw socket baselines doing the same exchanges,
// the reference CI server's own erase rate and, when installed, Redis.
//
// Everything runs in one process and one run: each benchmark is repeated and
// the repetitions of all of them are interleaved, so that a change of load
// during the run weighs on a case and its baseline alike. The tables at the
// end give medians, spread and the ratios of the performance targets.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Affinity.h"
#include "ArchiveManager.h"
#include "BenchCell.h"
#include "EvDebug.h"
#include "Measure.h"
#include "Process.h"
#include "RawClient.h"
#include "Results.h"
#include "Servers.h"
#include "TQAppMgr.h"
#include "TQCIHelper.h"
#include "TqIds.h"
#include "TqMessages.h"
#include "TqWire.h"
#include "WireFrames.h"
#include "WirePeer.h"

namespace bench {
namespace {

using benchmark::State;

// Clients of the directory: client 10's data is indexed by cloud 1 alone,
// client 20's by clouds 1, 2 and 3; cloud c is served by client 100 + c.
constexpr int kOneServerClient = 10;
constexpr int kThreeServerClient = 20;
constexpr int kClouds = 10;
constexpr int kServerOfCloudBase = 100;
constexpr int kPruneElements = 10000;
// Documents in a reference server's index: more than a run erases.
constexpr size_t kCiDocuments = 50000;
// Erases each session of a reference-server batch sends one after the other.
constexpr int kCiErasesPerSession = 20;
constexpr int kRedisRequests = 100000;
// The paired Redis comparison: blocks of this many requests each way (about
// 0.1 s), this many pairs per repetition.
constexpr int kPairedRedisRequests = 2000;
constexpr int kPairedRedisBlocks = 6;
// Calls per block of the paired benchmarks: a few milliseconds each.
constexpr int kPairedEraseCalls = 100;
constexpr int kPairedAttaches = 10;
// A debug-log line as long as the one an erase writes.
constexpr char kTypicalLogLine[] =
    "Sending TQS_PM_CONTENTIDX_ERASE_DATA_REQ for vornCellNum [4711] client ID[10]. Path "
    "[/home/ann/photos] FAST client id [101]";
constexpr unsigned int kPartsLogModule = 0x7E570001;
constexpr long long kLogEverything = -1;
constexpr int kSessionWait = -1;
constexpr int kDisconnectWait = 120;

// What the benchmarks share; set up in main() before the library is used.
struct Setup {
    BenchCell cell;
    WirePeer peer;
    std::string eraseFrame;
    size_t replyLength = 0;
    std::string hello;
    size_t acceptLength = 0;
    // The servers start when their benchmarks first run, so that a run
    // filtered to other benchmarks does without them.
    std::string cisrv;
    std::map<int, std::unique_ptr<CiServer>> ci;  // by the number of sessions driving it
    std::string redisServer;
    std::string redisBenchmark;
    std::unique_ptr<RedisServer> redis;

    // A server of its own per case, so that its commits can be told apart.
    CiServer& ciServer(int sessions) {
        std::unique_ptr<CiServer>& server = ci[sessions];
        if (!server) {
            const std::string folder = cell.root() + "/ci-" + std::to_string(sessions);
            std::filesystem::create_directories(folder);
            server = std::make_unique<CiServer>(cisrv, folder, kCiDocuments);
        }
        return *server;
    }
    RedisServer& redisServerRunning() {
        if (!redis) redis = std::make_unique<RedisServer>(redisServer, cell.root());
        return *redis;
    }
};
Setup* g_setup = nullptr;

// An erase handle, released with deInitEraseCIHelper().
class EraseHandle {
public:
    EraseHandle() : m_handle(initEraseCIHelper()) {
        if (m_handle == nullptr) throw std::runtime_error("no erase handle");
    }
    ~EraseHandle() { deInitEraseCIHelper(m_handle); }
    EraseHandle(const EraseHandle&) = delete;
    EraseHandle& operator=(const EraseHandle&) = delete;

    void erase(int clientId) {
        if (eraseBackupData(m_handle, BenchCell::kCellId, clientId, BenchCell::kAppType,
                            kErasePath, false) != 0) {
            throw std::runtime_error("eraseBackupData failed (see CIHelper.log)");
        }
    }

private:
    void* m_handle;
};

std::vector<_PruneElem> pruneElements(int clouds) {
    std::vector<_PruneElem> elements;
    for (int i = 0; i < kPruneElements; ++i) {
        const int cloud = 1 + i * clouds / kPruneElements;
        elements.push_back(_PruneElem{BenchCell::kCellNumber, i + 1, cloud, 0, 0, 0});
    }
    return elements;
}

// The frames PruneCIDocs sends for `elements`, per cloud in order.
std::vector<std::string> pruneStreams(const std::vector<_PruneElem>& elements) {
    std::vector<std::string> streams;
    int cloud = 0;
    for (const _PruneElem& element : elements) {
        if (streams.empty() || element.cloudId != cloud) streams.emplace_back();
        cloud = element.cloudId;
        tqmsg::AfPruneReq record{};
        record.cloudId = element.cloudId;
        record.vornCellNumber = element.vornCellNumber;
        record.archiveFileId = element.archiveFileId;
        streams.back() += pruneRequestFrame(record);
    }
    return streams;
}

tqsExecuteRemoteDllType indexService() {
    tqsExecuteRemoteDllType service{};
    std::strncpy(service.remoteLibraryName, tqmsg::kRemoteIndexLibrary,
                 sizeof service.remoteLibraryName);
    std::strncpy(service.remoteEntryName, tqmsg::kRemoteIndexEntry,
                 sizeof service.remoteEntryName);
    return service;
}

// A session of the session library alone, attached to the peer.
class PeerSession {
public:
    PeerSession() {
        tqsExecuteRemoteDllType service = indexService();
        bool timedOut = false;
        check(m_session.Attach_RemoteDLL(g_setup->peer.host().c_str(), &service, "bench",
                                         kSessionWait, timedOut));
    }
    CTqNetwork& session() { return m_session; }
    static void check(const CYxError& result) {
        if (result.IsError()) throw std::runtime_error(result.AsString());
    }

private:
    CTqNetwork m_session;
};

// ---- erase exchanges ----------------------------------------------------

void eraseLibrary(State& state, int clientId, int servers) {
    EraseHandle handle;
    try {
        handle.erase(clientId);  // attaches: the loop measures cached sessions
    } catch (const std::exception& failure) {
        state.SkipWithError(failure.what());
        return;
    }
    g_setup->cell.truncateLogs();
    measure(state, servers, [&] { handle.erase(clientId); });
}

// One erase exchange through the session library alone, as the library
// makes it: the request, then the response into a record of the caller's.
void exchangeErase(PeerSession& peer, const tqmsg::EraseDataReq& record) {
    tqsDatabuf_v2 buffer;
    buffer.setExternalBuffer(const_cast<char*>(reinterpret_cast<const char*>(&record)),
                             sizeof record + sizeof kErasePath);
    bool timedOut = false;
    PeerSession::check(peer.session().SendXDRMessage(tqmsg::kEraseDataReq, &buffer, 0,
                                                     kSessionWait, timedOut));
    tqmsg::EraseDataResp response{};
    buffer.setExternalBuffer(reinterpret_cast<char*>(&response), sizeof response);
    unsigned long code = tqmsg::kEraseDataResp;
    PeerSession::check(peer.session().ReceiveXDRMessage(&code, &buffer, nullptr, 0,
                                                        kSessionWait, timedOut));
    if (response.status != 1) throw std::runtime_error("erase not confirmed");
}

tqmsg::EraseDataReq benchEraseRecord() {
    return eraseRecord(BenchCell::kCellNumber, kOneServerClient, BenchCell::kAppType,
                       kErasePath);
}

void eraseSessionOnly(State& state) {
    PeerSession peer;
    const tqmsg::EraseDataReq record = benchEraseRecord();
    measure(state, 1, [&] { exchangeErase(peer, record); });
}

void pingPongRaw(State& state, int connections) {
    std::vector<RawSocket> sockets;
    sockets.reserve(static_cast<size_t>(connections));
    for (int i = 0; i < connections; ++i) sockets.emplace_back(g_setup->peer.port());
    measure(state, connections, [&] {
        for (RawSocket& socket : sockets) socket.exchange(g_setup->eraseFrame, g_setup->replyLength);
    });
}

// ---- pruning --------------------------------------------------------------

void pruneLibrary(State& state, int clouds) {
    std::vector<_PruneElem> elements = pruneElements(clouds);
    CIAFPruner pruner;
    g_setup->cell.truncateLogs();
    measure(state, kPruneElements, [&] {
        if (pruner.PruneCIDocs(elements) != 0) throw std::runtime_error("PruneCIDocs failed");
    });
}

void pruneSessionOnly(State& state) {
    const std::vector<_PruneElem> elements = pruneElements(1);
    measure(state, kPruneElements, [&] {
        PeerSession peer;
        tqmsg::AfPruneReq record{};
        tqsDatabuf_v2 buffer;
        buffer.setExternalBuffer(reinterpret_cast<char*>(&record), sizeof record);
        bool timedOut = false;
        for (const _PruneElem& element : elements) {
            record.cloudId = element.cloudId;
            record.vornCellNumber = element.vornCellNumber;
            record.archiveFileId = element.archiveFileId;
            PeerSession::check(peer.session().SendXDRMessage(tqmsg::kAfPruneReq, &buffer, 0,
                                                             kSessionWait, timedOut));
        }
        PeerSession::check(peer.session().Disconnect(kDisconnectWait, timedOut));
    });
}

// One connection per stream, one write() per frame, then a graceful close.
void sendRawStreams(const std::vector<std::string>& streams) {
    const size_t frameLength = pruneRequestFrame(tqmsg::AfPruneReq{}).size();
    for (const std::string& stream : streams) {
        RawSocket socket(g_setup->peer.port());
        for (size_t at = 0; at < stream.size(); at += frameLength) {
            socket.writeAll(stream.data() + at, frameLength);
        }
        socket.closeGracefully();
    }
}

void streamRaw(State& state, int connections) {
    const std::vector<std::string> streams = pruneStreams(pruneElements(connections));
    measure(state, kPruneElements, [&] { sendRawStreams(streams); });
}

// ---- attaching ------------------------------------------------------------

void attachLibrary(State& state) {
    g_setup->cell.truncateLogs();
    measure(state, 1, [] { EraseHandle().erase(kOneServerClient); });
}

// The session library alone: a new session, its attach, one erase exchange,
// the session destroyed; what the library's first erase does on the wire.
void attachSessionOnly(State& state) {
    const tqmsg::EraseDataReq record = benchEraseRecord();
    measure(state, 1, [&] {
        PeerSession peer;
        exchangeErase(peer, record);
    });
}

void connectAndExchange(bool withHello) {
    RawSocket socket(g_setup->peer.port());
    if (withHello) socket.exchange(g_setup->hello, g_setup->acceptLength);
    socket.exchange(g_setup->eraseFrame, g_setup->replyLength);
}

void attachRaw(State& state, bool withHello) {
    measure(state, 1, [&] { connectAndExchange(withHello); });
}

// ---- the library and its baseline in alternating blocks ---------------------

void pairedErase(State& state, int clientId, int servers) {
    EraseHandle handle;
    std::vector<RawSocket> sockets;
    try {
        handle.erase(clientId);
        sockets.reserve(static_cast<size_t>(servers));
        for (int i = 0; i < servers; ++i) sockets.emplace_back(g_setup->peer.port());
    } catch (const std::exception& failure) {
        state.SkipWithError(failure.what());
        return;
    }
    g_setup->cell.truncateLogs();
    measurePaired(
        state, kPairedEraseCalls, servers, [&] { handle.erase(clientId); },
        [&] {
            for (RawSocket& socket : sockets) {
                socket.exchange(g_setup->eraseFrame, g_setup->replyLength);
            }
        });
}

void pairedPrune(State& state, int clouds) {
    std::vector<_PruneElem> elements = pruneElements(clouds);
    const std::vector<std::string> streams = pruneStreams(elements);
    CIAFPruner pruner;
    g_setup->cell.truncateLogs();
    measurePaired(
        state, 1, kPruneElements,
        [&] {
            if (pruner.PruneCIDocs(elements) != 0) throw std::runtime_error("PruneCIDocs failed");
        },
        [&] { sendRawStreams(streams); });
}

void pairedAttach(State& state) {
    g_setup->cell.truncateLogs();
    measurePaired(
        state, kPairedAttaches, 1, [] { EraseHandle().erase(kOneServerClient); },
        [] { connectAndExchange(false); });
}

// ---- the directory on PostgreSQL -------------------------------------------

// A case run with the directory on the PostgreSQL server of $TQ_BENCH_POSTGRES;
// the process's directory connection follows the variable.
std::function<void(State&)> onPostgres(std::function<void(State&)> body) {
    return [body](State& state) {
        const std::string sqlite = std::getenv("TQ_DIRECTORY_DB");
        ::setenv("TQ_DIRECTORY_DB", g_setup->cell.postgres().c_str(), 1);
        body(state);
        ::setenv("TQ_DIRECTORY_DB", sqlite.c_str(), 1);
    };
}

// ---- the reference CI server ----------------------------------------------

void cisrvErase(State& state, int sessionCount) {
    CiServer* server = nullptr;
    std::vector<std::unique_ptr<CiSession>> sessions;
    try {
        server = &g_setup->ciServer(sessionCount);
        for (int i = 0; i < sessionCount; ++i) {
            sessions.push_back(std::make_unique<CiSession>(server->port()));
        }
    } catch (const std::exception& failure) {
        state.SkipWithError(failure.what());
        return;
    }
    const auto eraseSome = [server](CiSession& session, std::string& failure) {
        std::string path;
        for (int i = 0; i < kCiErasesPerSession && failure.empty(); ++i) {
            if (!server->takePath(path)) failure = "the index ran out of documents";
            else if (!session.erase(path)) failure = "cisrv did not confirm an erase";
        }
    };
    measure(state, sessionCount * kCiErasesPerSession, [&] {
        std::vector<std::string> failures(sessions.size());
        std::vector<std::thread> workers;
        for (size_t i = 0; i < sessions.size(); ++i) {
            workers.emplace_back(eraseSome, std::ref(*sessions[i]), std::ref(failures[i]));
        }
        for (std::thread& worker : workers) worker.join();
        for (const std::string& failure : failures) {
            if (!failure.empty()) throw std::runtime_error(failure);
        }
    });
    // The erases ran on the workers, whose allocations this thread does not see.
    state.counters[kAllocations] = -1;
}

// ---- Redis ----------------------------------------------------------------

void redisPing(State& state) {
    double rate = 0;
    try {
        const uint16_t port = g_setup->redisServerRunning().port();
        for (auto iteration : state) {
            (void)iteration;
            rate = redisPingRate(g_setup->redisBenchmark, port, kRedisRequests);
        }
    } catch (const std::exception& failure) {
        state.SkipWithError(failure.what());
        return;
    }
    reportRate(state, rate);
}

// The library's erase rate and Redis's in alternating blocks of as many
// requests, so that load that comes and goes weighs on both alike; Redis's
// figure is what redis-benchmark reports for its block.
void pairedRedis(State& state) {
    using Clock = std::chrono::steady_clock;
    EraseHandle handle;
    uint16_t port = 0;
    try {
        handle.erase(kOneServerClient);
        port = g_setup->redisServerRunning().port();
    } catch (const std::exception& failure) {
        state.SkipWithError(failure.what());
        return;
    }
    g_setup->cell.truncateLogs();
    measurePairedBlocks(
        state, kPairedRedisRequests,
        [&] {
            const auto start = Clock::now();
            for (int i = 0; i < kPairedRedisRequests; ++i) handle.erase(kOneServerClient);
            return std::chrono::duration<double>(Clock::now() - start).count();
        },
        [&] {
            return kPairedRedisRequests /
                   redisPingRate(g_setup->redisBenchmark, port, kPairedRedisRequests);
        });
}

// ---- parts of the product the library leans on ----------------------------

void logLine(State& state) {
    EvDebug logger(nullptr);
    if (!logger.initialize(kPartsLogModule, kLogEverything, false, "bench-log-line")) {
        state.SkipWithError("cannot open a debug log");
        return;
    }
    g_setup->cell.truncateLogs();
    measure(state, 1, [&] { logger.debug("%s", kTypicalLogLine); });
}

void clientCellLookup(State& state) {
    const unsigned long serverClient = tq::widenId(kServerOfCloudBase + 1);
    measure(state, 1, [&] {
        TQClient client(serverClient);
        unsigned long cell = 0;
        if (client.getVornCellId(cell, nullptr) != 0) throw std::runtime_error("lookup failed");
    });
}

// The directory lookups an erase handle makes before its first exchange: the
// cell's number, the client's clouds, the cloud's CI server and its host.
void firstEraseLookups(State& state) {
    measure(state, 1, [] {
        unsigned long number = 0;
        TQVornCell cell(tq::widenId(BenchCell::kCellId));
        ArchiveManagerCS manager(nullptr);
        GetContentIndexEngineListArgs_t args;
        GetContentIndexEngineListRet_t clouds;
        args.clientId = kOneServerClient;
        args.appType = BenchCell::kAppType;
        ContentIndexEngine engine(tq::widenId(1));
        std::list<unsigned long> members;
        std::list<unsigned long> properties;
        std::string name;
        TQClient server(tq::widenId(BenchCell::kCellId), tq::widenId(kServerOfCloudBase + 1));
        std::string host;
        if (cell.getVornCellNumber(number, nullptr) != 0 ||
            manager.getContentIndexEngineList(&args, &clouds) < 0 ||
            engine.getCloudClientList(members, properties, name, nullptr) != 0 ||
            server.getMangledHostName(host, nullptr) != 0) {
            throw std::runtime_error("a directory lookup failed");
        }
    });
}

// Opening and closing a debug log, as a new erase handle does.
void logOpenClose(State& state) {
    measure(state, 1, [] {
        EvDebug logger(nullptr);
        if (!logger.initialize(kPartsLogModule, kLogEverything, false, "bench-open-close")) {
            throw std::runtime_error("cannot open a debug log");
        }
    });
}

// ---- registration and tables -----------------------------------------------

benchmark::internal::Benchmark* add(const char* name,
                                    const std::function<void(State&)>& function) {
    auto* benchmark =
        benchmark::RegisterBenchmark(name, [function](State& state) { function(state); });
    benchmark->UseRealTime()->Unit(benchmark::kMicrosecond);
    addSpreadStatistics(benchmark);
    return benchmark;
}

void registerBenchmarks() {
    add("erase/library/servers:1", [](State& s) { eraseLibrary(s, kOneServerClient, 1); });
    add("erase/library/servers:3", [](State& s) { eraseLibrary(s, kThreeServerClient, 3); });
    add("erase/session_only", eraseSessionOnly);
    add("erase/raw_pingpong/connections:1", [](State& s) { pingPongRaw(s, 1); });
    add("erase/raw_pingpong/connections:3", [](State& s) { pingPongRaw(s, 3); });
    add("prune/library/clouds:1", [](State& s) { pruneLibrary(s, 1); });
    add("prune/library/clouds:10", [](State& s) { pruneLibrary(s, kClouds); });
    add("prune/session_only/clouds:1", pruneSessionOnly);
    add("prune/raw_stream/connections:1", [](State& s) { streamRaw(s, 1); });
    add("prune/raw_stream/connections:10", [](State& s) { streamRaw(s, kClouds); });
    add("attach/library", attachLibrary);
    add("attach/session_only", attachSessionOnly);
    add("attach/raw_connect_exchange", [](State& s) { attachRaw(s, false); });
    add("attach/raw_connect_hello_exchange", [](State& s) { attachRaw(s, true); });
    add("pair/erase/servers:1", [](State& s) { pairedErase(s, kOneServerClient, 1); });
    add("pair/erase/servers:3", [](State& s) { pairedErase(s, kThreeServerClient, 3); });
    add("pair/prune/clouds:1", [](State& s) { pairedPrune(s, 1); });
    add("pair/prune/clouds:10", [](State& s) { pairedPrune(s, kClouds); });
    add("pair/attach", pairedAttach);
    add("parts/log_line", logLine);
    add("parts/directory_client_lookup", clientCellLookup);
    add("parts/first_erase_lookups", firstEraseLookups);
    add("parts/log_open_close", logOpenClose);
    if (!g_setup->cell.postgres().empty()) {
        add("postgres/parts/directory_client_lookup", onPostgres(clientCellLookup));
        add("postgres/parts/first_erase_lookups", onPostgres(firstEraseLookups));
        add("postgres/prune/library/clouds:1", onPostgres([](State& s) { pruneLibrary(s, 1); }));
        add("postgres/attach/library", onPostgres(attachLibrary));
        add("postgres/pair/prune/clouds:1", onPostgres([](State& s) { pairedPrune(s, 1); }));
    }
    if (!g_setup->cisrv.empty()) {
        add("cisrv/erase/sessions:1", [](State& s) { cisrvErase(s, 1); });
        add("cisrv/erase/sessions:4", [](State& s) { cisrvErase(s, 4); });
    }
    if (!g_setup->redisServer.empty()) {
        add("redis/ping_inline", redisPing)->Iterations(1);
        add("pair/redis", pairedRedis)->Iterations(kPairedRedisBlocks);
    }
}

std::string allocationCell(const ResultCollector& results, const std::string& name) {
    const std::vector<double> values = results.values(name, kAllocations);
    if (values.empty() || values.front() < 0) return "n/a";
    return fixed(median(values), 3);
}

double ratioOf(const ResultCollector& results, const std::string& numerator,
               const std::string& denominator) {
    const double top = results.rate(numerator).median;
    const double bottom = results.rate(denominator).median;
    return top > 0 && bottom > 0 ? top / bottom : std::nan("");
}

void printRates(const ResultCollector& results) {
    struct Row {
        const char* label;
        const char* name;
        const char* unit;
    };
    const Row rows[] = {
        {"erase, library, 1 server (cached session)", "erase/library/servers:1", "exchanges/s"},
        {"erase, library, 3 servers (cached sessions)", "erase/library/servers:3", "exchanges/s"},
        {"erase, session library alone", "erase/session_only", "exchanges/s"},
        {"raw ping-pong, 1 connection", "erase/raw_pingpong/connections:1", "exchanges/s"},
        {"raw ping-pong, 3 connections in turn", "erase/raw_pingpong/connections:3", "exchanges/s"},
        {"prune, library, 10,000 elements of 1 cloud", "prune/library/clouds:1", "elements/s"},
        {"prune, library, 10,000 elements of 10 clouds", "prune/library/clouds:10", "elements/s"},
        {"prune, session library alone, 1 cloud", "prune/session_only/clouds:1", "elements/s"},
        {"raw one-way stream, 1 connection", "prune/raw_stream/connections:1", "elements/s"},
        {"raw one-way stream, 10 connections", "prune/raw_stream/connections:10", "elements/s"},
        {"attach: new handle, first erase", "attach/library", "attaches/s"},
        {"attach: session library alone", "attach/session_only", "attaches/s"},
        {"raw connect + 1 exchange", "attach/raw_connect_exchange", "connects/s"},
        {"raw connect + hello + 1 exchange", "attach/raw_connect_hello_exchange", "connects/s"},
        {"cisrv erases confirmed, 1 session", "cisrv/erase/sessions:1", "erases/s"},
        {"cisrv erases confirmed, 4 sessions", "cisrv/erase/sessions:4", "erases/s"},
        {"Redis PING_INLINE, -c 1 -P 1", "redis/ping_inline", "requests/s"},
        {"debug-log line (EvDebug::debug)", "parts/log_line", "lines/s"},
        {"directory lookup TQClient::getVornCellId", "parts/directory_client_lookup", "lookups/s"},
        {"the 4 directory lookups of a first erase", "parts/first_erase_lookups", "sets/s"},
        {"debug log opened and closed (EvDebug)", "parts/log_open_close", "logs/s"},
        {"PostgreSQL directory: TQClient::getVornCellId", "postgres/parts/directory_client_lookup",
         "lookups/s"},
        {"PostgreSQL directory: the 4 lookups of a first erase",
         "postgres/parts/first_erase_lookups", "sets/s"},
        {"PostgreSQL directory: prune, 10,000 elements of 1 cloud",
         "postgres/prune/library/clouds:1", "elements/s"},
        {"PostgreSQL directory: attach, new handle, first erase", "postgres/attach/library",
         "attaches/s"},
    };
    Table table({"case", "unit", "median", "min – max", "CV", "per item", "heap allocs/item"});
    for (const Row& row : rows) {
        std::vector<std::string> cells = {row.label, row.unit};
        const auto numbers = rateCells(results.rate(row.name));
        cells.insert(cells.end(), numbers.begin(), numbers.end());
        cells.push_back(allocationCell(results, row.name));
        table.add(cells);
    }
    table.print(std::cout);
}

// The median over the repetitions of a paired benchmark's relative speed.
double pairedSpeed(const ResultCollector& results, const std::string& name) {
    const std::vector<double> values = results.values(name, kPairedRatio);
    return values.empty() ? std::nan("") : median(values);
}

// "0.74 – 0.82 over 9; apart: 0.69": the paired ratio's range over the
// repetitions (as time ratios when `asTime`), and the ratio of the two cases'
// own medians.
std::string pairedNote(const ResultCollector& results, const std::string& name, double apart,
                       bool asTime = false) {
    const Spread spread = summarize(results.values(name, kPairedRatio));
    const auto shown = [](double value) { return value > 0 ? fixed(value, 2) : "n/a"; };
    std::string note;
    if (spread.count > 0) {
        const double low = asTime ? 1 / spread.max : spread.min;
        const double high = asTime ? 1 / spread.min : spread.max;
        note = shown(low) + " – " + shown(high) + " over " + std::to_string(spread.count) + "; ";
    }
    return note + "apart: " + shown(apart);
}

void printTargets(const ResultCollector& results) {
    const auto allocations = [&](const char* name) {
        const std::vector<double> values = results.values(name, kAllocations);
        // To two decimals: allocations made once per run vanish, per-call ones stay.
        return values.empty() || values.front() < 0 ? std::nan("")
                                                    : std::round(median(values) * 100) / 100;
    };
    const auto rates = [&](const char* library, const char* baseline) {
        return ratioOf(results, library, baseline);
    };
    std::vector<Verdict> verdicts = {
        {"erase 1 server / raw ping-pong", pairedSpeed(results, "pair/erase/servers:1"),
         Relation::AtLeast, 0.90,
         pairedNote(results, "pair/erase/servers:1",
                    rates("erase/library/servers:1", "erase/raw_pingpong/connections:1"))},
        {"erase 3 servers / raw ping-pong, 3 connections",
         pairedSpeed(results, "pair/erase/servers:3"), Relation::AtLeast, 0.90,
         pairedNote(results, "pair/erase/servers:3",
                    rates("erase/library/servers:3", "erase/raw_pingpong/connections:3"))},
        {"erase 1 server / Redis PING_INLINE", pairedSpeed(results, "pair/redis"),
         Relation::AtLeast, 1.0,
         results.has("redis/ping_inline")
             ? pairedNote(results, "pair/redis",
                          rates("erase/library/servers:1", "redis/ping_inline"))
             : "Redis not run"},
        {"prune 1 cloud / raw stream", pairedSpeed(results, "pair/prune/clouds:1"),
         Relation::AtLeast, 0.60,
         pairedNote(results, "pair/prune/clouds:1",
                    rates("prune/library/clouds:1", "prune/raw_stream/connections:1"))},
        {"prune 10 clouds / raw stream, 10 connections",
         pairedSpeed(results, "pair/prune/clouds:10"), Relation::AtLeast, 0.60,
         pairedNote(results, "pair/prune/clouds:10",
                    rates("prune/library/clouds:10", "prune/raw_stream/connections:10"))},
        {"attach time / raw connect + exchange", 1 / pairedSpeed(results, "pair/attach"),
         Relation::AtMost, 1.2,
         pairedNote(results, "pair/attach",
                    1 / rates("attach/library", "attach/raw_connect_exchange"), true)},
        {"heap allocations per cached erase beyond the path copy",
         allocations("erase/library/servers:1") - 1, Relation::AtMost, 0,
         "real product libraries, benchmark thread"},
    };
    if (results.has("postgres/attach/library")) {
        verdicts.insert(verdicts.end() - 1, {
        {"prune 1 cloud, PostgreSQL directory / raw stream",
         pairedSpeed(results, "postgres/pair/prune/clouds:1"), Relation::AtLeast, 0.60,
         pairedNote(results, "postgres/pair/prune/clouds:1",
                    rates("postgres/prune/library/clouds:1", "prune/raw_stream/connections:1"))},
        {"attach time, PostgreSQL directory / SQLite directory",
         1 / rates("postgres/attach/library", "attach/library"), Relation::AtMost, 1.5,
         "medians measured apart"},
        });
    }
    printVerdicts(std::cout, verdicts);
    std::cout << "\nMeasured: the median over the repetitions of the ratio between blocks of the\n"
                 "library and of its baseline run in turn (note: its range; \"apart\": the ratio\n"
                 "of the two cases' own medians in the rates table).\n"
              << "For reference: erase 1 server / session library alone = "
              << fixed(rates("erase/library/servers:1", "erase/session_only"), 2)
              << "; session library alone / raw ping-pong = "
              << fixed(rates("erase/session_only", "erase/raw_pingpong/connections:1"), 2)
              << "; attach time / raw connect + hello + exchange = "
              << fixed(1 / rates("attach/library", "attach/raw_connect_hello_exchange"), 2)
              << "; prune 1 cloud / session library alone = "
              << fixed(rates("prune/library/clouds:1", "prune/session_only/clouds:1"), 2) << "\n";
}

// Microseconds per item at the median rate; NaN when the case did not run.
double microseconds(const ResultCollector& results, const std::string& name) {
    const double rate = results.rate(name).median;
    return rate > 0 ? 1e6 / rate : std::nan("");
}

// The gaps between the library and the protocol's floor, beside the parts
// of the product that fill them.
void printBudget(const ResultCollector& results) {
    const auto us = [&](const char* name) { return microseconds(results, name); };
    const double logLine = us("parts/log_line");
    // A new handle's first erase opens the log, writes four lines (the
    // cloud's members, its CI server, the sending, the success) and closes it;
    // a cached erase writes the last two.
    constexpr int kAttachLogLines = 4;
    constexpr int kCachedEraseLogLines = 2;
    Table table({"gap (µs per item, medians)", "µs", "filled by", "µs"});
    table.add({"erase, 1 server: library − session library alone",
               fixed(us("erase/library/servers:1") - us("erase/session_only"), 1),
               "2 debug-log lines", fixed(kCachedEraseLogLines * logLine, 1)});
    table.add({"attach: library − raw connect + hello + exchange",
               fixed(us("attach/library") - us("attach/raw_connect_hello_exchange"), 1),
               "4 directory lookups + log open/close + 4 lines",
               fixed(us("parts/first_erase_lookups") + us("parts/log_open_close") +
                         kAttachLogLines * logLine,
                     1)});
    table.add({"prune element, 1 cloud: library − session library alone",
               fixed(us("prune/library/clouds:1") - us("prune/session_only/clouds:1"), 1),
               "TQClient::getVornCellId", fixed(us("parts/directory_client_lookup"), 1)});
    table.print(std::cout);
}

void printLoad(const char* when) {
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3) {
        std::cout << "load average " << when << ": " << fixed(load[0], 2) << " "
                  << fixed(load[1], 2) << " " << fixed(load[2], 2) << "\n";
    }
}

// Google Benchmark's flags with this program's defaults in front, so that
// flags given on the command line win.
std::vector<char*> withDefaults(int argc, char** argv, std::vector<std::string>& storage) {
    storage = {"--benchmark_repetitions=9", "--benchmark_enable_random_interleaving=true",
               "--benchmark_min_time=0.3"};
    std::vector<char*> arguments = {argv[0]};
    for (std::string& flag : storage) arguments.push_back(flag.data());
    for (int i = 1; i < argc; ++i) arguments.push_back(argv[i]);
    arguments.push_back(nullptr);
    return arguments;
}

int run(int argc, char** argv) {
    std::vector<std::string> defaults;
    std::vector<char*> arguments = withDefaults(argc, argv, defaults);
    int count = static_cast<int>(arguments.size()) - 1;
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 2;

    // The client (this thread) on one CPU, the servers it starts on another.
    choosePinnedCpus();
    pinThisThreadToClientCpu();
    std::cout << "CPUs: " << pinningDescription() << "\n";
    Setup setup;  // the cell's environment is in place before the library's first use
    g_setup = &setup;
    for (int cloud = 1; cloud <= kClouds; ++cloud) {
        setup.cell.addCloud(cloud, kServerOfCloudBase + cloud, setup.peer.host());
    }
    setup.cell.addIndexedClient(kOneServerClient, {1});
    setup.cell.addIndexedClient(kThreeServerClient, {1, 2, 3});
    setup.eraseFrame = eraseRequestFrame(
        eraseRecord(BenchCell::kCellNumber, kOneServerClient, BenchCell::kAppType, kErasePath));
    setup.replyLength = eraseResponseFrame(1).size();
    setup.hello = helloFrame("bench");
    setup.acceptLength = acceptFrame().size();

    const std::string cisrv = programDirectory() + "/cisrv";
    if (access(cisrv.c_str(), X_OK) == 0) {
        setup.cisrv = cisrv;
    } else {
        std::cout << "cisrv not built: its erase rate is not measured\n";
    }
    setup.redisBenchmark = findOnPath("redis-benchmark");
    if (!setup.redisBenchmark.empty()) setup.redisServer = findOnPath("redis-server");
    if (setup.redisServer.empty()) {
        std::cout << "redis-server or redis-benchmark not installed: no Redis comparison\n";
    }

    registerBenchmarks();
    printLoad("at start");
    ResultCollector results;
    benchmark::RunSpecifiedBenchmarks(&results);
    printLoad("at end");

    std::cout << "\n## Rates (median and spread over the repetitions)\n\n";
    printRates(results);
    std::cout << "\n## Targets (this run)\n\n";
    printTargets(results);
    std::cout << "\n## Where the time goes\n\n";
    printBudget(results);
    for (const auto& [name, message] : results.errors()) {
        std::cout << "FAILED: " << name << ": " << message << "\n";
    }
    for (auto& [sessions, server] : setup.ci) {
        const size_t erases = server->pathsTaken();
        const long commits = server->stop();
        std::cout << "\ncisrv driven by " << sessions << " session(s): " << erases
                  << " erases confirmed in " << commits << " index commits";
        if (commits > 0) {
            std::cout << " (" << fixed(static_cast<double>(erases) / static_cast<double>(commits), 2)
                      << " per commit)";
        }
    }
    const WirePeer::Counts counts = setup.peer.counts();
    std::cout << "\npeer: " << counts.connections << " connections, " << counts.erases
              << " erases answered, " << counts.prunes << " prunes read, " << counts.dropped
              << " connections dropped for bad frames\n";
    benchmark::Shutdown();
    return results.errors().empty() && counts.dropped == 0 ? 0 : 1;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    try {
        return bench::run(argc, argv);
    } catch (const std::exception& failure) {
        std::cerr << "tqci_bench: " << failure.what() << "\n";
        return 1;
    }
}
