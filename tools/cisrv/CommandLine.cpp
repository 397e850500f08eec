// Defining and checking the command line: "cisrv COMMAND --option VALUE ...".
#include "cisrv/CommandLine.h"

#include <chrono>
#include <map>

#include "cisrv/HealthCheck.h"
#include "common/CliSupport.h"
#include "session/TqWire.h"

namespace cisrv {

namespace {

// A day: far beyond any wait of a peer, and within SQLite's busy timeout.
constexpr int64_t kMaxLockWaitSeconds = 86400;
constexpr int64_t kMostConnections = 100'000;
constexpr int64_t kMostSeconds = int64_t{7} * 24 * 3600;  // a week
constexpr int64_t kMostCheckSeconds = 3600;
// The longest purge bound, and the longest a search or count may read.
constexpr int64_t kMostPurgeSeconds = 86400;
constexpr int64_t kMostReadSeconds = 3600;
constexpr int64_t kMaxPort = 65535;
constexpr int64_t kMostWarnDays = 3650;
constexpr int64_t kMostGeneratedDocuments = 1'000'000'000;
// Client and archive file ids grow with the seed (seed * 1,000,000 + n).
constexpr int64_t kMostGeneratorSeed = 1'000'000'000;

constexpr char kFooter[] = R"(
Options take their value as the next argument or after '=' (--index=DB).
Exit status: 0 success, 1 failure (the reason on standard error), 2 usage error.

Environment (serve and check):
  TQ_TLS_CA, TQ_TLS_CERT, TQ_TLS_KEY
                           the cell's authority, this program's certificate and
                           key (PEM); when set, every connection runs TLS 1.3
  TQ_TLS_CRL               the authority's revocation lists (a PEM file, or a
                           c_rehash folder): revoked peers are refused; a list
                           missing, unreadable, unsigned or out of date lets
                           nobody in
  TQ_TLS_ALLOW_SHARED_KEY  1: use a key file that group or others may read
  TQ_ALLOW_PLAINTEXT       1: plain TCP beyond loopback (trusted networks only)
  TQ_SESSION_WAIT_UNIT_MS  length of a wait unit in ms (1000); an erase answer
                           may take 120 units to go out
)";

constexpr char kServeFooter[] = R"(
HOST is a numeric address ([::1] for IPv6); port 0 picks a free port, written
with a newline to --port-file once listening. The index is created when
missing. Connections not yet through their TLS handshake and hello are
limited by --max-pending (when it is reached, the oldest of them is closed to
make room for the newest) and --max-pending-per-peer (a connection beyond it
is closed at once) and by --handshake-timeout; an attached session is
closed after --idle-timeout seconds without a request. A batch of changes
waits --lock-wait seconds for an index write lock held by another process;
erases of a batch that still fails are answered with status 0, and sessions
that sent its prunes are reset. --read-only answers erases with status 0 and
ignores prunes.

Erased means gone: once --purge-within SECONDS (60) have passed after an
erase or prune is committed, no byte of the documents it removed is left in
the index's files; 0: before the erase is answered (or the session's close
confirmed); off: no such bound (erased data stays until SQLite reuses the
space). --log-paths hash logs an HMAC-SHA256 of each erased path under the key
in the --log-path-key file (owner-only; openssl rand -hex 32 > FILE) instead
of the path; no leaves the path out. See docs/CISERVER.md, Erasure.

SIGTERM or SIGINT stops the server: sessions finish their request, the index
is committed and what is pending purged, exit status 0. SIGHUP reopens the
--log file (log rotation) and reads the TLS certificate, key, authority and
revocation lists again: connections accepted after it use them, open sessions
go on; files that cannot be used leave the old ones serving, and the log says
why. A TLS certificate or revocation list that runs out within
--tls-warn-days is logged at start, after a reload and once a day.

--metrics-listen HOST:PORT serves GET /metrics (Prometheus text format),
/healthz (alive) and /readyz (200 when erases are taken now; 503 with the
reason while stopping, while the writer is on one piece of work beyond
--lock-wait, or after a failed batch until the next commit) over plain HTTP,
only at that address: give a loopback or management address. Under systemd
(NOTIFY_SOCKET) the server says READY=1 once listening, keeps STATUS= up to
date and pings the watchdog (WatchdogSec=) while its writer makes progress;
the pings stop once one piece of the writer's work has taken longer than
--lock-wait plus --stall-margin.
)";

constexpr char kPurgeFooter[] = R"(
Rewrites every full-text shard and every page of the index and truncates its
write-ahead log, so that nothing erased before is left in its files: for an
offline index, or before the disk is handed back. It holds the index's write
lock while it runs (a server's erases wait, up to its --lock-wait), and
needs memory about the size of the index for a moment (SQLite's VACUUM builds
the new copy in memory, never in a temporary file). An index of schema
version 1 or 2 is migrated first.
)";

constexpr char kCheckFooter[] = R"(
Connects as a client would (TLS when TQ_TLS_* is set: give a name or address
the server's certificate names), says hello naming the health-check service
and waits for the server's accept. Exit status 0 when it came, 1 otherwise
with the reason. Over TLS it then prints when the server's certificate and
this end's certificate, authority and revocation lists run out, marking
those within --tls-warn-days. The server logs nothing for a probe that
succeeds. A wildcard address (0.0.0.0, [::]) is probed on loopback.
)";

constexpr char kGenerateFooter[] = R"(
Archive files are filled one after the other (ids S * 1000000 + 1, 2, ... for
seed S), each document with a client picked at random (ids S * 100000 + 1,
2, ...); every document of a client lies under /host-<id>,
4 to 8 levels deep, with the client's app type (1, 2, 13 or 33) and the client
id as application id, and a text of 40 to 70 words (Zipf: "the", "and",
"report" ... in most documents, term<rank> up to term19999 in few). The same
seed gives the same documents. The index is created when missing.
)";

[[noreturn]] void invalid(const std::string& message) { throw CLI::ValidationError(message); }

// "HOST:PORT" or "[IPv6]:PORT" of `option`.
void parseHostPort(const std::string& option, const std::string& text, std::string& address,
                   uint16_t& listenPort) {
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            invalid(option + " needs [ADDRESS]:PORT, not '" + text + "'");
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            invalid(option + " needs HOST:PORT, not '" + text + "'");
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) {
            invalid(option + ": write an IPv6 address in brackets: [" + host + "]:" + port);
        }
    }
    if (host.empty()) {
        invalid(option + " needs an address before the port");
    }
    int64_t number = 0;
    if (!tqcommon::parseInteger(port, 0, kMaxPort, number)) {
        invalid(option + " needs a port from 0 to 65535, not '" + port + "'");
    }
    address = host;
    listenPort = static_cast<uint16_t>(number);
}

void parseListen(const std::string& text, ServerConfig& config) {
    parseHostPort("--listen", text, config.listenAddress, config.listenPort);
}

// "LIBRARY/ENTRY", each a non-empty text that fits the handshake.
void parseService(const std::string& text, ServerConfig& config) {
    const size_t slash = text.find('/');
    const bool fits = slash != std::string::npos && slash > 0 && slash + 1 < text.size() &&
                      slash <= tqsession::kMaxServiceNameLength &&
                      text.size() - slash - 1 <= tqsession::kMaxServiceNameLength;
    if (!fits) {
        invalid("--service needs LIBRARY/ENTRY (each 1 to " +
                std::to_string(tqsession::kMaxServiceNameLength) + " characters), not '" + text +
                "'");
    }
    config.serviceLibrary = text.substr(0, slash);
    config.serviceEntry = text.substr(slash + 1);
    if (config.serviceLibrary == kHealthCheckLibrary && config.serviceEntry == kHealthCheckEntry) {
        invalid("--service: " + text + " is the health-check service");
    }
}

void addIndex(CLI::App& command, CommandLine& out) {
    command.add_option("--index", out.indexFile, "the index database")
        ->type_name("DB")
        ->required()
        ->check(tqtool::nonEmpty("a file name"));
}

void addListen(CLI::App& command, CommandLine& out, const std::string& help) {
    command
        .add_option_function<std::string>(
            "--listen", [&out](const std::string& text) { parseListen(text, out.server); }, help)
        ->type_name("HOST:PORT")
        ->required();
}

// The session limits, counted or in seconds (stored in milliseconds).
void addLimits(CLI::App& serve, ServerConfig& config) {
    tqtool::addInteger(serve, "--max-sessions", config.maxSessions,
                       "attached sessions served at once (64)", 1, kMostConnections);
    tqtool::addInteger(serve, "--max-pending", config.maxPending,
                       "connections not yet through their handshake and hello "
                       "(4096, or what the descriptor limit leaves)",
                       1, kMostConnections);
    tqtool::addInteger(serve, "--max-pending-per-peer", config.maxPendingPerPeer,
                       "of those, from one address (16)", 1, kMostConnections);
    const auto inMilliseconds = [](int64_t& slot) {
        return [&slot](int64_t seconds) { slot = seconds * 1000; };
    };
    tqtool::addIntegerOption(serve, "--handshake-timeout",
                             "seconds from the accept to the end of the hello (10)", 1,
                             kMostSeconds, inMilliseconds(config.handshakeTimeoutMs))
        ->type_name("SECONDS");
    tqtool::addIntegerOption(serve, "--idle-timeout",
                             "seconds without a request before a session is closed (600)", 1,
                             kMostSeconds, inMilliseconds(config.idleTimeoutMs))
        ->type_name("SECONDS");
    tqtool::addIntegerOption(
        serve, "--lock-wait",
        "seconds a batch of changes waits for an index write lock held elsewhere (60)", 0,
        kMaxLockWaitSeconds,
        [&config](int64_t seconds) { config.writer.lockWait = std::chrono::seconds(seconds); })
        ->type_name("SECONDS");
}

void addTlsWarnDays(CLI::App& command, ServerConfig& config) {
    tqtool::addInteger(command, "--tls-warn-days", config.tlsWarnDays,
                       "warn of TLS certificates and lists that run out within DAYS (30)", 0,
                       kMostWarnDays)
        ->type_name("DAYS");
}

// --purge-within SECONDS | off.
void parsePurgeWithin(const std::string& text, ServerConfig& config) {
    PurgeOptions& purge = config.writer.purge;
    if (text == "off") {
        purge.enabled = false;
        config.store.erasure = false;
        return;
    }
    int64_t seconds = 0;
    if (!tqcommon::parseInteger(text, 0, kMostPurgeSeconds, seconds)) {
        invalid("--purge-within needs " + tqtool::describeRange(0, kMostPurgeSeconds) +
                " or off, not '" + text + "'");
    }
    purge.enabled = true;
    purge.within = std::chrono::seconds(seconds);
}

// --log-paths yes | hash | no.
void parseLogPaths(const std::string& text, ServerConfig& config) {
    static const std::map<std::string, PathLogging::Mode> kModes = {
        {"yes", PathLogging::Mode::Yes},
        {"hash", PathLogging::Mode::Hash},
        {"no", PathLogging::Mode::No}};
    const auto mode = kModes.find(text);
    if (mode == kModes.end()) {
        invalid("--log-paths needs yes, hash or no, not '" + text + "'");
    }
    config.pathLogging.mode = mode->second;
}

// --metrics-listen, --stall-margin and --log-format: what operators watch.
void addOperation(CLI::App& serve, CommandLine& out) {
    serve
        .add_option_function<std::string>(
            "--metrics-listen",
            [&out](const std::string& text) {
                parseHostPort("--metrics-listen", text, out.metricsAddress, out.metricsPort);
            },
            "serve /metrics (Prometheus), /healthz and /readyz over plain HTTP there (off)")
        ->type_name("HOST:PORT");
    tqtool::addIntegerOption(serve, "--stall-margin",
                             "seconds beyond --lock-wait one piece of the writer's work may take "
                             "before the watchdog pings stop (30)",
                             1, kMaxLockWaitSeconds,
                             [&out](int64_t seconds) { out.stallMarginMs = seconds * 1000; })
        ->type_name("SECONDS");
    static const std::map<std::string, ServerLog::Format> kFormats = {
        {"text", ServerLog::Format::Text}, {"json", ServerLog::Format::Json}};
    serve
        .add_option_function<std::string>(
            "--log-format",
            [&out](const std::string& text) {
                const auto format = kFormats.find(text);
                if (format == kFormats.end()) {
                    invalid("--log-format needs text or json, not '" + text + "'");
                }
                out.logFormat = format->second;
            },
            "log lines as text or as one JSON object each (text)")
        ->type_name("text|json");
}

void addErasure(CLI::App& serve, CommandLine& out) {
    serve
        .add_option_function<std::string>(
            "--purge-within",
            [&out](const std::string& text) { parsePurgeWithin(text, out.server); },
            "seconds after an erase or prune before no byte of what it removed is left in "
            "the index's files; 0: before it is answered; off: no bound (60)")
        ->type_name("SECONDS|off");
    serve
        .add_option_function<std::string>(
            "--log-paths", [&out](const std::string& text) { parseLogPaths(text, out.server); },
            "erase log lines show the path (yes), its keyed hash (hash) or nothing (no) (yes)")
        ->type_name("yes|hash|no");
    serve.add_option("--log-path-key", out.pathKeyFile, "the key of --log-paths hash")
        ->type_name("FILE")
        ->check(tqtool::nonEmpty("a file name"));
}

void defineServe(CLI::App& app, CommandLine& out) {
    CLI::App* serve = app.add_subcommand("serve", "serve the index to the helper's sessions");
    addIndex(*serve, out);
    addListen(*serve, out, "the numeric address and port to listen on");
    serve->add_option("--port-file", out.portFile, "write the port listened on to FILE")
        ->type_name("FILE")
        ->check(tqtool::nonEmpty("a file name"));
    serve->add_option("--log", out.logFile, "append the log to FILE (default: standard error)")
        ->type_name("FILE")
        ->check(tqtool::nonEmpty("a file name"));
    serve
        ->add_option_function<std::string>(
            "--service", [&out](const std::string& text) { parseService(text, out.server); },
            "the service clients must name (sLNIDXMA/sLPIDXMA)")
        ->type_name("LIB/ENTRY");
    tqtool::addFlag(*serve, "--read-only", out.server.readOnly, "never change the index");
    addLimits(*serve, out.server);
    addTlsWarnDays(*serve, out.server);
    addErasure(*serve, out);
    addOperation(*serve, out);
    serve->footer(kServeFooter);
}

void defineCheck(CLI::App& app, CommandLine& out) {
    CLI::App* check = app.add_subcommand(
        "check", "exit 0 when a server at HOST:PORT completes a handshake (health checks)");
    addListen(*check, out, "where the server listens");
    tqtool::addIntegerOption(*check, "--timeout", "seconds to wait for the answer (10)", 1,
                             kMostCheckSeconds,
                             [&out](int64_t seconds) { out.checkTimeoutMs = seconds * 1000; })
        ->type_name("SECONDS");
    addTlsWarnDays(*check, out.server);
    check->footer(kCheckFooter);
}

void defineAdd(CLI::App& app, CommandLine& out) {
    CLI::App* add = app.add_subcommand("add", "add one document and print its id");
    addIndex(*add, out);
    Document& document = out.document;
    add->add_option("--path", document.path, "the document's path")
        ->type_name("P")
        ->required()
        ->check(tqtool::nonEmpty("a path"));
    add->add_option("--text", document.text, "its text (empty)")->type_name("T");
    tqtool::addInteger(*add, "--client", document.clientId, "its client id (0)");
    tqtool::addInteger(*add, "--app-type", document.appType, "its application type (0)");
    tqtool::addInteger(*add, "--app", document.applicationId, "its application id (0)");
    tqtool::addInteger(*add, "--archive-file", document.archiveFileId, "its archive file (0)");
    tqtool::addInteger(*add, "--cloud", document.cloudId, "the cloud that indexed it (0)");
    tqtool::addInteger(*add, "--cell-number", document.cellNumber, "its cell's number (0)");
    add->footer("\nThe index is created when missing.");
}

void defineGenerate(CLI::App& app, CommandLine& out) {
    CLI::App* generate = app.add_subcommand(
        "generate", "add N made-up documents in the shape of a real index (demos, benchmarks)");
    addIndex(*generate, out);
    GeneratorOptions& options = out.generator;
    tqtool::addInteger(*generate, "--documents", options.documents, "how many", 1,
                       kMostGeneratedDocuments)
        ->required();
    tqtool::addInteger(*generate, "--seed", options.seed,
                       "decides every number and word; other seeds, other ids (1)", 1,
                       kMostGeneratorSeed);
    tqtool::addInteger(*generate, "--clients", options.clients,
                       "clients to spread them over (N / 250, at most 4000)", 1, kMostConnections);
    tqtool::addInteger(*generate, "--archive-file-size", options.archiveFileSize,
                       "documents per archive file (1000 to 10000 at random)", 1,
                       kMostGeneratedDocuments);
    tqtool::addInteger(*generate, "--cloud", options.cloudId, "the cloud that indexed them (1)");
    tqtool::addInteger(*generate, "--cell-number", options.cellNumber, "their cell's number (1)");
    generate->add_option("--marker", options.marker, "a word added to every text (none)")
        ->type_name("WORD");
    generate->footer(kGenerateFooter);
}

// search and count: a read that holds an old snapshot keeps the server's
// purge from truncating the write-ahead log, so it is bounded.
void addReadLimit(CLI::App& command, CommandLine& out) {
    tqtool::addIntegerOption(
        command, "--time-limit", "seconds the read of the index may take at most (10)", 1,
        kMostReadSeconds, [&out](int64_t seconds) { out.readLimitMs = seconds * 1000; })
        ->type_name("SECONDS");
}

void defineSearch(CLI::App& app, CommandLine& out) {
    CLI::App* search = app.add_subcommand("search", "print matching documents, one per line");
    addIndex(*search, out);
    search->add_option("--match", out.filter.match, "an FTS5 query on path and text")
        ->type_name("QUERY");
    search->add_option("--under", out.filter.under, "the path and everything below it")
        ->type_name("PATH")
        ->check(tqtool::nonEmpty("a path"));
    addReadLimit(*search, out);
    search->footer(
        "\nColumns, tab-separated: id path client app_type app archive_file cloud cell_number "
        "text.\nTabs, line breaks and backslashes in paths and texts are printed as \\t, \\n, "
        "\\\\.");
}

}  // namespace

void defineCommandLine(CLI::App& app, CommandLine& out) {
    app.footer(kFooter);
    app.require_subcommand(1);
    defineServe(app, out);
    defineCheck(app, out);
    defineAdd(app, out);
    defineGenerate(app, out);
    defineSearch(app, out);
    CLI::App* count = app.add_subcommand("count", "print the number of documents");
    addIndex(*count, out);
    addReadLimit(*count, out);
    CLI::App* purge = app.add_subcommand(
        "purge", "remove every trace of erased documents from the index's files now");
    addIndex(*purge, out);
    purge->footer(kPurgeFooter);
}

void finishCommandLine(const CLI::App& app, CommandLine& out) {
    static const std::map<std::string, Command> kCommands = {
        {"serve", Command::Serve},       {"check", Command::Check},   {"add", Command::Add},
        {"generate", Command::Generate}, {"search", Command::Search}, {"count", Command::Count},
        {"purge", Command::Purge}};
    out.command = kCommands.at(app.get_subcommands().front()->get_name());
    out.server.indexFile = out.indexFile;
    if (out.command == Command::Check && out.server.listenPort == 0) {
        throw tqtool::UsageError{"check needs the port the server listens on, not 0"};
    }
    const bool hashing = out.server.pathLogging.mode == PathLogging::Mode::Hash;
    if (hashing && out.pathKeyFile.empty()) {
        throw tqtool::UsageError{"--log-paths hash needs --log-path-key FILE"};
    }
    if (!hashing && !out.pathKeyFile.empty()) {
        throw tqtool::UsageError{"--log-path-key is for --log-paths hash"};
    }
}

}  // namespace cisrv
