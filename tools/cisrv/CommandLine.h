// The command line of cisrv: its commands and their options, defined on a
// CLI11 app; values are checked and converted as they are parsed.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "cisrv/Generator.h"
#include "cisrv/IndexStore.h"
#include "cisrv/ServerConfig.h"
#include "cisrv/ServerLog.h"

namespace cisrv {

enum class Command { Serve, Check, Add, Generate, Search, Count, Purge };

struct CommandLine {
    Command command = Command::Serve;
    std::string indexFile;
    // serve; check probes server.listenAddress and server.listenPort
    ServerConfig server;
    std::string portFile;
    std::string logFile;      // empty: standard error
    std::string pathKeyFile;  // --log-path-key: read when the server starts
    ServerLog::Format logFormat = ServerLog::Format::Text;
    // --metrics-listen: where /metrics, /healthz and /readyz are served; off when empty.
    std::string metricsAddress;
    uint16_t metricsPort = 0;
    // The writer counts as stalled (no more watchdog pings) once one piece of
    // work has taken longer than --lock-wait plus this.
    int64_t stallMarginMs = 30'000;
    int64_t checkTimeoutMs = 10'000;
    // add
    Document document;
    // generate
    GeneratorOptions generator;
    // search
    SearchFilter filter;
    // search and count: the longest a read of the index may take
    int64_t readLimitMs = 10'000;
};

// Defines the commands and options on `app`; parsing fills `out`, and
// finishCommandLine() completes it.
void defineCommandLine(CLI::App& app, CommandLine& out);
// After a successful parse: the command given, and what follows from it.
void finishCommandLine(const CLI::App& app, CommandLine& out);

}  // namespace cisrv
