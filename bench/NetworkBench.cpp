// tqci_bench: the helper library on the real product libraries, each target
// case paired with the raw socket baseline it is held against on one peer at
// 127.0.0.1; the reference CI server's confirmed-erase rate; Redis when it is
// installed; the directory lookups the library leans on; and with
// $TQ_BENCH_POSTGRES the directory cases again on PostgreSQL.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ArchiveManager.h"
#include "Measure.h"
#include "Programs.h"
#include "Servers.h"
#include "TQAppMgr.h"
#include "TQCIHelper.h"
#include "TqIds.h"
#include "WirePeer.h"
#include "World.h"

namespace bench {
namespace {

using benchmark::State;

// Besides the world's client 10, client 20's data is indexed by clouds 1, 2
// and 3; ten clouds in all, every one served at the peer.
constexpr int kThreeServerClient = 20;
constexpr int kClouds = 10;

// What the benchmarks share; set up in run() before the library is used.
struct Setup {
    BenchCell cell;
    WirePeer peer;
    // Frames as the library sent them, for the raw baselines to send again.
    std::string hello;
    std::string eraseRequest;
    std::string pruneRequest;
    // The servers start when their benchmarks first run.
    std::string cisrv;
    std::map<int, std::unique_ptr<CiServer>> ci;  // by the number of sessions driving it
    bool redisInstalled = false;
    std::unique_ptr<RedisServer> redis;
};
Setup* g_setup = nullptr;

class EraseHandle {
public:
    EraseHandle() : m_handle(initEraseCIHelper()) {
        if (m_handle == nullptr) {
            throw std::runtime_error("no erase handle");
        }
    }
    ~EraseHandle() { deInitEraseCIHelper(m_handle); }
    EraseHandle(const EraseHandle&) = delete;
    EraseHandle& operator=(const EraseHandle&) = delete;

    void erase(int clientId) {
        if (eraseBackupData(m_handle, kCellId, clientId, kAppType, kErasePath, false) != 0) {
            throw std::runtime_error("eraseBackupData failed (see CIHelper.log)");
        }
    }

private:
    void* m_handle;
};

// kPruneElements elements spread evenly over clouds 1 to `clouds`.
std::vector<_PruneElem> pruneElements(int clouds) {
    std::vector<_PruneElem> elements;
    for (int i = 0; i < kPruneElements; ++i) {
        elements.push_back(
            _PruneElem{kCellNumber, i + 1, 1 + i * clouds / kPruneElements, 0, 0, 0});
    }
    return elements;
}

void prune(CIAFPruner& pruner, std::vector<_PruneElem>& elements) {
    if (pruner.PruneCIDocs(elements) != 0) {
        throw std::runtime_error("PruneCIDocs failed");
    }
}

// The frames the library sends, as the peer received them: a new handle's
// first erase (HELLO, erase request), then a prune of one element (HELLO,
// prune request). Its Disconnect returns once the peer has read everything.
void recordLibraryFrames(Setup& setup) {
    EraseHandle().erase(kOneServerClient);
    std::vector<_PruneElem> one = {_PruneElem{kCellNumber, 1, 1, 0, 0, 0}};
    CIAFPruner pruner;
    prune(pruner, one);
    const std::vector<std::string> frames = setup.peer.firstFrames();
    if (frames.size() != 4) {
        throw std::runtime_error("the peer did not see the library's frames");
    }
    setup.hello = frames[0];
    setup.eraseRequest = frames[1];
    setup.pruneRequest = frames[3];
}

// ---- the raw baselines ------------------------------------------------------

// A cached erase on the wire: one exchange with each server.
void rawPingPong(std::vector<RawSocket>& sockets) {
    for (RawSocket& socket : sockets) {
        socket.exchange(g_setup->eraseRequest, g_setup->peer.eraseResponseLength());
    }
}

// A file opened for appending, as the debug log is.
class AppendFile {
public:
    explicit AppendFile(const std::string& path)
        : m_fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {
        if (m_fd < 0) {
            throw std::runtime_error("cannot open " + path);
        }
    }
    ~AppendFile() { ::close(m_fd); }
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    void write(const std::string& line) const {
        if (::write(m_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            throw std::runtime_error("cannot append to a file");
        }
    }

private:
    int m_fd;
};

// The debug-log lines of one cached erase, as the library wrote them.
std::vector<std::string> cachedEraseLines(EraseHandle& handle, int clientId) {
    g_setup->cell.truncateLogs();
    handle.erase(clientId);
    std::ifstream log(g_setup->cell.root() + "/log/CIHelper.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
        lines.push_back(line + "\n");
    }
    if (lines.size() != 2) {
        throw std::runtime_error("a cached erase did not write two log lines");
    }
    return lines;
}

// The floor a cached erase with its debug log can reach: the ping-pong with
// the library's two lines written around it (the first before the request,
// the second after the answer), one write() each.
void rawPingPongWithLines(RawSocket& socket, const AppendFile& log,
                          const std::vector<std::string>& lines) {
    log.write(lines[0]);
    socket.exchange(g_setup->eraseRequest, g_setup->peer.eraseResponseLength());
    log.write(lines[1]);
}

// A prune on the wire, without the handshake: kPruneElements prune frames
// spread over `connections` connections, one write() each, every connection
// closed gracefully.
void rawStream(int connections) {
    for (int c = 0; c < connections; ++c) {
        RawSocket socket(g_setup->peer.port());
        for (int i = 0; i < kPruneElements / connections; ++i) {
            socket.writeAll(g_setup->pruneRequest);
        }
        socket.closeGracefully();
    }
}

// A new handle's first erase on the wire.
void rawConnectHelloExchange() {
    RawSocket socket(g_setup->peer.port());
    socket.exchange(g_setup->hello, g_setup->peer.acceptLength());
    socket.exchange(g_setup->eraseRequest, g_setup->peer.eraseResponseLength());
}

// ---- the library beside its baseline ----------------------------------------

// Calls per block of a pair: a few milliseconds each.
constexpr int kErasesPerBlock = 100;
constexpr int kAttachesPerBlock = 10;

// With one server the pair also runs the floor that the log lines allow
// (rawPingPongWithLines) beside the bare ping-pong.
void pairedErase(State& state, int clientId, int servers) {
    EraseHandle handle;
    handle.erase(clientId);  // attaches: the blocks measure cached sessions
    std::vector<RawSocket> sockets;
    for (int i = 0; i < servers; ++i) {
        sockets.emplace_back(g_setup->peer.port());
    }
    // One server's erase writes two lines; with more, each server adds its
    // own, and there is no floor with lines to hold them against.
    const std::vector<std::string> lines =
        servers == 1 ? cachedEraseLines(handle, clientId) : std::vector<std::string>();
    const AppendFile floorLog(g_setup->cell.root() + "/log/floor.log");
    g_setup->cell.truncateLogs();
    std::function<double()> floor;
    if (servers == 1) {
        floor = [&] {
            return timed(kErasesPerBlock,
                         [&] { rawPingPongWithLines(sockets[0], floorLog, lines); });
        };
    }
    measurePaired(
        state, kErasesPerBlock * servers,
        [&] { return timed(kErasesPerBlock, [&] { handle.erase(clientId); }); },
        [&] { return timed(kErasesPerBlock, [&] { rawPingPong(sockets); }); }, floor);
}

void pairedPrune(State& state, int clouds) {
    std::vector<_PruneElem> elements = pruneElements(clouds);
    CIAFPruner pruner;
    g_setup->cell.truncateLogs();
    measurePaired(
        state, kPruneElements, [&] { return timed(1, [&] { prune(pruner, elements); }); },
        [&] { return timed(1, [&] { rawStream(clouds); }); });
}

void pairedAttach(State& state) {
    g_setup->cell.truncateLogs();
    measurePaired(
        state, kAttachesPerBlock,
        [] { return timed(kAttachesPerBlock, [] { EraseHandle().erase(kOneServerClient); }); },
        [] { return timed(kAttachesPerBlock, rawConnectHelloExchange); });
}

// Redis's side of a pair is the rate redis-benchmark reports for its block:
// blocks of this many requests each way (about 0.1 s), this many pairs per
// repetition.
constexpr int kRedisRequestsPerBlock = 2000;
constexpr int kRedisPairs = 6;

void pairedRedis(State& state) {
    if (!g_setup->redis) {
        g_setup->redis = std::make_unique<RedisServer>(g_setup->cell.root());
    }
    const RedisServer& redis = *g_setup->redis;
    EraseHandle handle;
    handle.erase(kOneServerClient);
    g_setup->cell.truncateLogs();
    measurePaired(
        state, kRedisRequestsPerBlock,
        [&] { return timed(kRedisRequestsPerBlock, [&] { handle.erase(kOneServerClient); }); },
        [&] { return kRedisRequestsPerBlock / redis.pingRate(kRedisRequestsPerBlock); });
}

// ---- the reference CI server ------------------------------------------------

// Documents in a reference server's index (more than a run erases) and the
// erases each session sends per block.
constexpr size_t kCiDocuments = 50000;
constexpr int kCiErasesPerSession = 20;

CiServer& ciServer(int sessions) {
    const auto known = g_setup->ci.find(sessions);
    if (known != g_setup->ci.end()) {
        return *known->second;
    }
    const std::string folder = g_setup->cell.root() + "/ci-" + std::to_string(sessions);
    std::filesystem::create_directories(folder);
    // Only a server that started is kept: printServers() stops every one kept.
    auto server = std::make_unique<CiServer>(g_setup->cisrv, folder, kCiDocuments);
    return *g_setup->ci.emplace(sessions, std::move(server)).first->second;
}

// Erases confirmed by cisrv, each session sending one erase after the other
// on a thread of its own; every erase removes one document.
void cisrvErase(State& state, int sessionCount) {
    CiServer& server = ciServer(sessionCount);
    std::vector<std::unique_ptr<Session>> sessions;
    for (int i = 0; i < sessionCount; ++i) {
        sessions.push_back(std::make_unique<Session>(server.host()));
    }
    const auto eraseSome = [&server](Session& session, std::string& failure) {
        try {
            for (int i = 0; i < kCiErasesPerSession; ++i) {
                if (!session.erase(server.takePath())) {
                    throw std::runtime_error("cisrv did not confirm an erase");
                }
            }
        } catch (const std::exception& error) {
            failure = error.what();
        }
    };
    measure(state, sessionCount * kCiErasesPerSession, [&] {
        return timed(1, [&] {
            std::vector<std::string> failures(sessions.size());
            std::vector<std::thread> workers;
            for (size_t i = 0; i < sessions.size(); ++i) {
                workers.emplace_back(eraseSome, std::ref(*sessions[i]), std::ref(failures[i]));
            }
            for (std::thread& worker : workers) {
                worker.join();
            }
            for (const std::string& failure : failures) {
                if (!failure.empty()) {
                    throw std::runtime_error(failure);
                }
            }
        });
    });
    state.counters.erase(kAllocations);  // the erases ran on other threads
}

// ---- parts of the product the library leans on -------------------------------

constexpr int kPartsPerBlock = 100;

template <typename Call>
void measureCalls(State& state, Call call) {
    measure(state, kPartsPerBlock, [&] { return timed(kPartsPerBlock, call); });
}

void clientCellLookup(State& state) {
    const unsigned long serverClient = tq::widenId(serverOfCloud(1));
    measureCalls(state, [&] {
        TQClient client(serverClient);
        unsigned long cell = 0;
        if (client.getVornCellId(cell, nullptr) != 0) {
            throw std::runtime_error("lookup failed");
        }
    });
}

// The lookups an erase handle makes before its first exchange: the cell's
// number, the client's clouds, the cloud's members and its CI server's host.
void firstEraseLookups(State& state) {
    measureCalls(state, [] {
        unsigned long number = 0;
        TQVornCell cell(tq::widenId(kCellId));
        ArchiveManagerCS manager(nullptr);
        GetContentIndexEngineListArgs_t args;
        GetContentIndexEngineListRet_t clouds;
        args.clientId = kOneServerClient;
        args.appType = kAppType;
        ContentIndexEngine engine(tq::widenId(1));
        std::list<unsigned long> members;
        std::list<unsigned long> properties;
        std::string name;
        TQClient server(tq::widenId(kCellId), tq::widenId(serverOfCloud(1)));
        std::string host;
        if (cell.getVornCellNumber(number, nullptr) != 0 ||
            manager.getContentIndexEngineList(&args, &clouds) < 0 ||
            engine.getCloudClientList(members, properties, name, nullptr) != 0 ||
            server.getMangledHostName(host, nullptr) != 0) {
            throw std::runtime_error("a directory lookup failed");
        }
    });
}

// While alive, the directory is the PostgreSQL one: the process's directory
// connection follows TQ_DIRECTORY_DB.
class DirectoryOnPostgres {
public:
    DirectoryOnPostgres() { ::setenv("TQ_DIRECTORY_DB", g_setup->cell.postgres().c_str(), 1); }
    ~DirectoryOnPostgres() { ::setenv("TQ_DIRECTORY_DB", m_sqlite.c_str(), 1); }
    DirectoryOnPostgres(const DirectoryOnPostgres&) = delete;
    DirectoryOnPostgres& operator=(const DirectoryOnPostgres&) = delete;

private:
    const std::string m_sqlite = std::getenv("TQ_DIRECTORY_DB");
};

// ---- registration and tables ------------------------------------------------

// A case, and the same case as "postgres/<name>" when there is a PostgreSQL directory.
void addOnBothDirectories(const std::string& name, void (*function)(State&)) {
    add(name, function);
    if (g_setup->cell.postgres().empty()) {
        return;
    }
    add("postgres/" + name, [function](State& state) {
        const DirectoryOnPostgres onPostgres;
        function(state);
    });
}

void registerBenchmarks() {
    add("pair/erase/servers:1", [](State& s) { pairedErase(s, kOneServerClient, 1); });
    add("pair/erase/servers:3", [](State& s) { pairedErase(s, kThreeServerClient, 3); });
    add("pair/prune/clouds:10", [](State& s) { pairedPrune(s, kClouds); });
    addOnBothDirectories("pair/prune/clouds:1", [](State& s) { pairedPrune(s, 1); });
    addOnBothDirectories("pair/attach", pairedAttach);
    addOnBothDirectories("parts/directory_client_lookup", clientCellLookup);
    addOnBothDirectories("parts/first_erase_lookups", firstEraseLookups);
    if (!g_setup->cisrv.empty()) {
        add("cisrv/erase/sessions:1", [](State& s) { cisrvErase(s, 1); });
        add("cisrv/erase/sessions:4", [](State& s) { cisrvErase(s, 4); });
    }
    if (g_setup->redisInstalled) {
        add("pair/redis", pairedRedis)->Iterations(kRedisPairs);
    }
}

void addTarget(Table& table, const std::string& what, double value, bool atMost, double bound,
               const std::string& range = "", const std::string& apart = "") {
    const bool met = atMost ? value <= bound : value >= bound;
    table.add({what, fixed(value, 2), (atMost ? "≤ " : "≥ ") + fixed(bound, 2),
               std::isnan(value) ? "n/a"
               : met             ? "yes"
                                 : "NO",
               range, apart});
}

// A target stated on a pair: its library's speed relative to the baseline
// (as a time ratio when `asTime`), the range over the repetitions and the
// ratio of the two rates' medians measured apart. `versusFloor` takes the
// pair's second baseline instead.
void addPairTarget(Table& table, const Results& results, const std::string& what,
                   const std::string& name, bool asTime, double bound, bool versusFloor = false) {
    const char* relative = versusFloor ? kFloorRelativeSpeed : kRelativeSpeed;
    const auto shown = [asTime](double speed) { return asTime ? 1 / speed : speed; };
    const double low = shown(results.get(name, relative, asTime ? "max" : "min"));
    const double high = shown(results.get(name, relative, asTime ? "min" : "max"));
    const double apart =
        results.get(name, kRate) / results.get(name, versusFloor ? kFloorRate : kBaselineRate);
    addTarget(table, what, shown(results.get(name, relative)), asTime, bound,
              fixed(low, 2) + " – " + fixed(high, 2), fixed(shown(apart), 2));
}

void printTargets(const Results& results) {
    Table table({"target", "measured", "bound", "met", "over the repetitions", "apart"});
    addPairTarget(table, results, "erase 1 server / raw ping-pong + its 2 log-line writes",
                  "pair/erase/servers:1", false, 0.95, true);
    addPairTarget(table, results, "erase 1 server / raw ping-pong", "pair/erase/servers:1", false,
                  0.90);
    addPairTarget(table, results, "erase 3 servers / raw ping-pong, 3 connections",
                  "pair/erase/servers:3", false, 0.90);
    addPairTarget(table, results, "erase 1 server / Redis PING_INLINE", "pair/redis", false, 1.0);
    addPairTarget(table, results, "prune 1 cloud / raw stream", "pair/prune/clouds:1", false, 0.80);
    addPairTarget(table, results, "prune 10 clouds / raw stream, 10 connections",
                  "pair/prune/clouds:10", false, 0.60);
    addPairTarget(table, results, "attach time / raw connect + HELLO + exchange", "pair/attach",
                  true, 1.2);
    // To two decimals: allocations made once per run vanish, per-call ones stay.
    addTarget(table, "heap allocations per cached erase beyond the path copy",
              std::round(results.get("pair/erase/servers:1", kAllocations) * 100) / 100 - 1, true,
              0);
    if (!g_setup->cell.postgres().empty()) {
        addPairTarget(table, results, "prune 1 cloud, PostgreSQL directory / raw stream",
                      "postgres/pair/prune/clouds:1", false, 0.80);
        addTarget(table, "attach time, PostgreSQL directory / SQLite directory",
                  results.get("pair/attach", kRate) / results.get("postgres/pair/attach", kRate),
                  true, 1.5, "", "medians apart");
    }
    table.print(std::cout);
    std::cout << "\nMeasured: the median over the repetitions of the ratio between blocks of the\n"
                 "library and of its baseline run in turn; \"apart\": the ratio of the two rates'\n"
                 "medians in the table above.\n";
}

// The cell's clouds and clients, the library's frames, and which servers
// can run besides the peer.
void prepare(Setup& setup) {
    for (int cloud = 1; cloud <= kClouds; ++cloud) {
        setup.cell.addCloud(cloud, serverOfCloud(cloud), setup.peer.host());
    }
    setup.cell.addIndexedClient(kOneServerClient, {1});
    setup.cell.addIndexedClient(kThreeServerClient, {1, 2, 3});
    recordLibraryFrames(setup);
    if (::access((programDirectory() + "/cisrv").c_str(), X_OK) == 0) {
        setup.cisrv = programDirectory() + "/cisrv";
    } else {
        std::cout << "cisrv not built: its erase rate is not measured\n";
    }
    setup.redisInstalled =
        std::system("{ command -v redis-server && command -v redis-benchmark; } >/dev/null") == 0;
    if (!setup.redisInstalled) {
        std::cout << "redis-server or redis-benchmark not installed: no Redis comparison "
                     "(scripts/install-deps.sh --bench installs them)\n";
    }
}

// What the servers did; false when a reference server's index does not
// match the erases it confirmed or the peer dropped a connection.
bool printServers(Setup& setup) {
    bool sound = true;
    for (auto& [sessions, server] : setup.ci) {
        std::cout << "\ncisrv driven by " << sessions << " session(s): ";
        try {
            std::cout << server->stop() << "\n";
        } catch (const std::exception& failure) {
            std::cout << "FAILED: " << failure.what() << "\n";
            sound = false;
        }
    }
    const WirePeer::Counts counts = setup.peer.counts();
    std::cout << "peer: " << counts.connections << " connections, " << counts.erases
              << " erases answered, " << counts.prunes << " prunes read, " << counts.dropped
              << " connections dropped for bad frames\n";
    return sound && counts.dropped == 0;
}

int run(int argc, char** argv) {
    if (!initialize(argc, argv)) {
        return 2;
    }
    std::cout << "CPUs: " << placeOnCpus() << "\n";
    Setup setup;  // the cell's environment is in place before the library's first use
    g_setup = &setup;
    prepare(setup);
    registerBenchmarks();
    Results results;
    benchmark::RunSpecifiedBenchmarks(&results);
    std::cout << "\n## Rates (median and spread over the repetitions)\n\n";
    results.printRates(std::cout);
    std::cout << "\n## Targets (this run)\n\n";
    printTargets(results);
    const bool ran = results.printErrors(std::cout);
    const bool sound = printServers(setup);
    benchmark::Shutdown();
    return ran && sound ? 0 : 1;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) { return bench::guardedMain("tqci_bench", bench::run, argc, argv); }
