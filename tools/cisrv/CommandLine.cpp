// Parsing the command line: "cisrv COMMAND --option value ...".
#include "CommandLine.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <vector>

#include "TqWire.h"

namespace cisrv {

const char kUsage[] = R"(usage:
  cisrv serve  --index DB --listen HOST:PORT [--port-file FILE] [--log FILE]
               [--service LIB/ENTRY] [--read-only] [--max-sessions N]
               [--max-pending N] [--max-pending-per-peer N]
               [--handshake-timeout SECONDS] [--idle-timeout SECONDS]
               [--lock-wait SECONDS]
  cisrv add    --index DB --path P [--text T] [--client N] [--app-type N] [--app N]
               [--archive-file N] [--cloud N] [--cell-number N]
  cisrv search --index DB [--match FTS5-QUERY] [--under PATH]
  cisrv count  --index DB
  cisrv --help

The reference content-indexing server and its index tools.

  serve   serve the index DB (created when missing) to the helper's sessions.
          HOST is a numeric address ([::1] for IPv6); port 0 picks a free port,
          written with a newline to --port-file once listening. --log appends
          the server's log to FILE (default: standard error). --service names
          the service clients must ask for (default sLNIDXMA/sLPIDXMA).
          --read-only answers erases with status 0 and ignores prunes.
          Limits: --max-sessions (default 64) attached sessions at once;
          --max-pending (128) connections not yet through their TLS
          handshake and hello, --max-pending-per-peer (16) of them from one
          address, a connection beyond either is closed at once; each has
          --handshake-timeout (10) seconds from its accept to its hello;
          an attached session is closed after --idle-timeout (600) seconds
          without a request.
          --lock-wait: how long a batch of changes waits for an index write
          lock held by another process (default 60); erases of a batch that
          still fails are answered with status 0, and sessions that sent its
          prunes are reset.
          SIGTERM or SIGINT stops it: sessions finish their request, the
          index is committed, exit status 0.
  add     add one document (numbers default to 0, text to empty); prints its id.
  search  print matching documents, one per line, tab-separated:
            id path client app_type app archive_file cloud cell_number text
          --match: an FTS5 query on path and text; --under: the path and
          everything below it. Tabs, line breaks and backslashes in paths and
          texts are printed as \t, \n, \\.
  count   print the number of documents.

Exit status: 0 success, 1 failure, 2 usage error.
)";

namespace {

// A day: far beyond any wait of a peer, and within SQLite's busy timeout.
constexpr int64_t kMaxLockWaitSeconds = 86400;

struct KnownOption {
    const char* name;
    bool takesValue;
};

// The options each command accepts; --index is common to all.
const std::map<std::string, std::vector<KnownOption>>& commandOptions() {
    static const std::map<std::string, std::vector<KnownOption>> options = {
        {"serve",
         {{"index", true},
          {"listen", true},
          {"port-file", true},
          {"log", true},
          {"service", true},
          {"read-only", false},
          {"max-sessions", true},
          {"max-pending", true},
          {"max-pending-per-peer", true},
          {"handshake-timeout", true},
          {"idle-timeout", true},
          {"lock-wait", true}}},
        {"add",
         {{"index", true},
          {"path", true},
          {"text", true},
          {"client", true},
          {"app-type", true},
          {"app", true},
          {"archive-file", true},
          {"cloud", true},
          {"cell-number", true}}},
        {"search", {{"index", true}, {"match", true}, {"under", true}}},
        {"count", {{"index", true}}},
    };
    return options;
}

using OptionValues = std::map<std::string, std::string>;

Status collectOptions(const std::string& command, const std::vector<std::string>& arguments,
                      OptionValues& values) {
    const std::vector<KnownOption>& known = commandOptions().at(command);
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.rfind("--", 0) != 0) {
            return Status::failure("unexpected argument \"" + argument + "\"");
        }
        const size_t equals = argument.find('=');
        const std::string name =
            argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        const auto option = std::find_if(known.begin(), known.end(),
                                         [&](const KnownOption& o) { return name == o.name; });
        if (option == known.end()) {
            return Status::failure(
                std::string("unknown option --").append(name).append(" for ").append(command));
        }
        if (values.count(name) != 0) return Status::failure("--" + name + " given twice");
        if (!option->takesValue) {
            if (equals != std::string::npos)
                return Status::failure("--" + name + " takes no value");
            values[name] = std::string();
        } else if (equals != std::string::npos) {
            values[name] = argument.substr(equals + 1);
        } else if (i + 1 < arguments.size()) {
            values[name] = arguments[++i];
        } else {
            return Status::failure("--" + name + " needs a value");
        }
    }
    return Status::ok();
}

Status parseInteger(const std::string& name, const std::string& text, int64_t& out) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, out);
    if (text.empty() || error != std::errc() || stop != end) {
        return Status::failure("--" + name + " needs a whole number, not \"" + text + "\"");
    }
    return Status::ok();
}

Status parsePort(const std::string& text, uint16_t& port) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < 0 || value > 65535) {
        return Status::failure("--listen needs a port from 0 to 65535, not \"" + text + "\"");
    }
    port = static_cast<uint16_t>(value);
    return Status::ok();
}

// "HOST:PORT" or "[IPv6]:PORT".
Status parseListen(const std::string& text, ServerConfig& config) {
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return Status::failure("--listen needs [ADDRESS]:PORT, not \"" + text + "\"");
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            return Status::failure("--listen needs HOST:PORT, not \"" + text + "\"");
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) {
            return Status::failure("--listen: write an IPv6 address in brackets: [" + host +
                                   "]:" + port);
        }
    }
    if (host.empty()) return Status::failure("--listen needs an address before the port");
    config.listenAddress = host;
    return parsePort(port, config.listenPort);
}

// "LIBRARY/ENTRY", each a non-empty text that fits the handshake.
Status parseService(const std::string& text, ServerConfig& config) {
    const size_t slash = text.find('/');
    const bool fits = slash != std::string::npos && slash > 0 && slash + 1 < text.size() &&
                      slash <= tqwire::kMaxServiceNameLength &&
                      text.size() - slash - 1 <= tqwire::kMaxServiceNameLength;
    if (!fits) {
        return Status::failure("--service needs LIBRARY/ENTRY (each 1 to " +
                               std::to_string(tqwire::kMaxServiceNameLength) +
                               " characters), not \"" + text + "\"");
    }
    config.serviceLibrary = text.substr(0, slash);
    config.serviceEntry = text.substr(slash + 1);
    return Status::ok();
}

// A whole number from 1 to `most` given for option `name`, if given.
Status parseLimit(const OptionValues& values, const std::string& name, int64_t most,
                  int64_t& out) {
    if (values.count(name) == 0) return Status::ok();
    int64_t value = 0;
    Status status = parseInteger(name, values.at(name), value);
    if (status.isOk() && (value < 1 || value > most)) {
        status = Status::failure("--" + name + " needs a whole number from 1 to " +
                                 std::to_string(most) + ", not \"" + values.at(name) + "\"");
    }
    if (status.isOk()) out = value;
    return status;
}

// The session limits and timeouts (timeouts in seconds on the command line).
Status applyLimits(const OptionValues& values, ServerConfig& config) {
    constexpr int64_t kMostConnections = 100'000;
    constexpr int64_t kMostSeconds = int64_t{7} * 24 * 3600;  // a week
    auto sessions = static_cast<int64_t>(config.maxSessions);
    auto pending = static_cast<int64_t>(config.maxPending);
    auto perPeer = static_cast<int64_t>(config.maxPendingPerPeer);
    int64_t handshakeSeconds = config.handshakeTimeoutMs / 1000;
    int64_t idleSeconds = config.idleTimeoutMs / 1000;
    const struct {
        const char* name;
        int64_t most;
        int64_t* value;
    } limits[] = {{"max-sessions", kMostConnections, &sessions},
                  {"max-pending", kMostConnections, &pending},
                  {"max-pending-per-peer", kMostConnections, &perPeer},
                  {"handshake-timeout", kMostSeconds, &handshakeSeconds},
                  {"idle-timeout", kMostSeconds, &idleSeconds}};
    for (const auto& limit : limits) {
        Status status = parseLimit(values, limit.name, limit.most, *limit.value);
        if (!status.isOk()) return status;
    }
    config.maxSessions = static_cast<size_t>(sessions);
    config.maxPending = static_cast<size_t>(pending);
    config.maxPendingPerPeer = static_cast<size_t>(perPeer);
    config.handshakeTimeoutMs = handshakeSeconds * 1000;
    config.idleTimeoutMs = idleSeconds * 1000;
    return Status::ok();
}

Status applyServe(const OptionValues& values, CommandLine& out) {
    if (values.count("listen") == 0) return Status::failure("serve needs --listen HOST:PORT");
    Status status = parseListen(values.at("listen"), out.server);
    if (status.isOk() && values.count("service") != 0) {
        status = parseService(values.at("service"), out.server);
    }
    if (status.isOk()) status = applyLimits(values, out.server);
    out.server.indexFile = out.indexFile;
    out.server.readOnly = values.count("read-only") != 0;
    if (values.count("port-file") != 0) out.portFile = values.at("port-file");
    if (values.count("log") != 0) out.logFile = values.at("log");
    if (status.isOk() && values.count("lock-wait") != 0) {
        int64_t seconds = 0;
        status = parseInteger("lock-wait", values.at("lock-wait"), seconds);
        if (status.isOk() && (seconds < 0 || seconds > kMaxLockWaitSeconds)) {
            status = Status::failure("--lock-wait needs seconds from 0 to " +
                                     std::to_string(kMaxLockWaitSeconds));
        }
        out.server.writer.lockWait = std::chrono::seconds(seconds);
    }
    if (status.isOk() && values.count("port-file") != 0 && out.portFile.empty()) {
        status = Status::failure("--port-file needs a file name");
    }
    if (status.isOk() && values.count("log") != 0 && out.logFile.empty()) {
        status = Status::failure("--log needs a file name");
    }
    return status;
}

Status applyAdd(const OptionValues& values, CommandLine& out) {
    Document& document = out.document;
    if (values.count("path") == 0 || values.at("path").empty()) {
        return Status::failure("add needs --path P");
    }
    document.path = values.at("path");
    if (values.count("text") != 0) document.text = values.at("text");
    const std::pair<const char*, int64_t*> numbers[] = {
        {"client", &document.clientId},   {"app-type", &document.appType},
        {"app", &document.applicationId}, {"archive-file", &document.archiveFileId},
        {"cloud", &document.cloudId},     {"cell-number", &document.cellNumber},
    };
    for (const auto& [name, field] : numbers) {
        if (values.count(name) == 0) continue;
        Status status = parseInteger(name, values.at(name), *field);
        if (!status.isOk()) return status;
    }
    return Status::ok();
}

Status applySearch(const OptionValues& values, CommandLine& out) {
    if (values.count("match") != 0) out.filter.match = values.at("match");
    if (values.count("under") != 0) {
        if (values.at("under").empty()) return Status::failure("--under needs a path");
        out.filter.under = values.at("under");
    }
    return Status::ok();
}

const std::map<std::string, Command>& commandNames() {
    static const std::map<std::string, Command> names = {{"serve", Command::Serve},
                                                         {"add", Command::Add},
                                                         {"search", Command::Search},
                                                         {"count", Command::Count}};
    return names;
}

}  // namespace

Status parseCommandLine(int argc, const char* const* argv, CommandLine& out) {
    const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
    const bool helpAsked =
        std::any_of(arguments.begin(), arguments.end(),
                    [](const std::string& a) { return a == "--help" || a == "-h"; });
    if (helpAsked) {
        out.command = Command::Help;
        return Status::ok();
    }
    if (arguments.empty()) return Status::failure("no command given");
    const auto command = commandNames().find(arguments.front());
    if (command == commandNames().end()) {
        return Status::failure("unknown command \"" + arguments.front() + "\"");
    }
    out.command = command->second;

    OptionValues values;
    Status status = collectOptions(
        command->first, std::vector<std::string>(arguments.begin() + 1, arguments.end()), values);
    if (!status.isOk()) return status;
    if (values.count("index") == 0 || values.at("index").empty()) {
        return Status::failure(command->first + " needs --index DB");
    }
    out.indexFile = values.at("index");
    switch (out.command) {
        case Command::Serve: return applyServe(values, out);
        case Command::Add: return applyAdd(values, out);
        case Command::Search: return applySearch(values, out);
        case Command::Count:
        case Command::Help: break;
    }
    return Status::ok();
}

}  // namespace cisrv
