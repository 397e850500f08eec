// tqdir: create a directory database and fill it from the command line.
#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "TqProjectVersion.h"
#include "appmgr/TqDirectory.h"
#include "common/CliSupport.h"
#include "common/ErrorResult.h"
#include "common/Integer.h"
#include "session/TqWire.h"

namespace {

using tqtool::UsageError;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

using Arguments = std::vector<std::string>;

constexpr char kDescription[] =
    "Creates and fills the directory database of cells, clients, applications and\n"
    "content-indexing clouds.";

constexpr char kFooter[] = R"(
The database is --db, else $TQ_DIRECTORY_DB, else /var/lib/tq/directory.db:
  a SQLite file path, or a PostgreSQL connection URI
  postgresql://USER@HOST:PORT/DBNAME?sslmode=verify-full (or postgres://...).

Numbers are signed 64-bit, decimal or hex with 0x. Values up to 2^64-1 are
taken as their two's complement, so 18446744073709551615 stands for -1.
Arguments are checked before the database is opened.

Exit status: 0 done, 1 the database failed or refused the change, 2 usage error.

Environment:
  TQ_DIRECTORY_DB  the directory database, a file path or a PostgreSQL URI as above
)";

// What to do when the database named cannot be used.
constexpr char kDatabaseHint[] =
    "'tqdir init' makes a directory database of a new file or an empty database; "
    "--db PATH|URI or TQ_DIRECTORY_DB names another";

int64_t number(const std::string& text, const char* what) {
    int64_t value = 0;
    if (!tqcommon::parseWideId(text, value)) {
        throw UsageError{std::string(what) + " must be a number, not '" + text + "'"};
    }
    return value;
}

std::vector<int64_t> numbers(Arguments::const_iterator first, Arguments::const_iterator last,
                             const char* what) {
    std::vector<int64_t> values;
    for (; first != last; ++first) {
        values.push_back(number(*first, what));
    }
    return values;
}

// A client's host as the session library reads it: "name[:port]" or
// "[IPv6]:port", port 1 to 65535, or '' for a client without one. A bare IPv6
// address is refused, since "fe80::1:8403" would silently lose its port.
std::string checkedHost(const std::string& text) {
    if (text.empty()) {
        return text;
    }
    const auto refuse = [&text](const std::string& why) {
        return UsageError{"HOST '" + text + "' is not name[:port] or [IPv6]:port: " + why};
    };
    tqsession::HostPort parsed;
    const CYxError error = tqsession::parseHostPort(text.c_str(), parsed);
    if (error.IsError()) {
        const std::string message = error.AsString();
        const std::string why = message.substr(message.rfind(": ") + 2);
        throw refuse(why == "bad port" ? "the port must be a number from 1 to 65535" : why);
    }
    for (const char c : parsed.host) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f' || c == '[' || c == ']') {
            throw refuse("blanks, control characters and stray brackets are not allowed");
        }
    }
    in6_addr address{};
    const bool ipv6 = ::inet_pton(AF_INET6, parsed.host.c_str(), &address) == 1;
    if (text[0] == '[' && !ipv6) {
        throw refuse("brackets hold an IPv6 address");
    }
    if (text[0] != '[' && ipv6) {
        throw refuse("write an IPv6 address in brackets: [" + text + "]");
    }
    return text;
}

CYxError readFile(const std::string& path, std::string& content) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file) {
        return tqcommon::makeError(tqerr::kIo, "cannot read " + path + ": " + std::strerror(errno));
    }
    content = text.str();
    return CYxError();
}

// The rows of a table as `show` prints them.
struct Table {
    const char* title;
    const char* header;
    const char* query;
};

constexpr Table kTables[] = {
    {"cells:", "id  number", "SELECT id, number FROM cells ORDER BY id"},
    {"clients:", "id  cell  host", "SELECT id, cell_id, host FROM clients ORDER BY id"},
    {"applications:", "id  cell  client  apptype",
     "SELECT id, cell_id, client_id, app_type FROM applications ORDER BY id"},
    {"clouds:", "id  name", "SELECT id, name FROM clouds ORDER BY id"},
    {"cloud members:", "cloud  client  properties",
     "SELECT cloud_id, client_id, properties FROM cloud_members ORDER BY cloud_id, position"},
    {"client engines:", "client  apptype  cloud",
     "SELECT client_id, app_type, cloud_id FROM client_engines"
     " ORDER BY client_id, app_type, position"},
    {"application engines:", "application  cloud",
     "SELECT application_id, cloud_id FROM application_engines"
     " ORDER BY application_id, position"},
};

// Prints every table, columns separated by two blanks.
CYxError show(tqappmgr::DirectoryWriter& directory) {
    for (const Table& table : kTables) {
        std::printf("%s\n  %s\n", table.title, table.header);
        const CYxError result =
            directory.forEachRow(table.query, [](const std::vector<std::string>& columns) {
                std::string line;
                for (const std::string& column : columns) {
                    line += "  " + column;
                }
                std::printf("%s\n", line.c_str());
            });
        if (result.IsError()) {
            return result;
        }
    }
    return CYxError();
}

// What a command does to the directory, with its arguments already parsed.
using Action = std::function<CYxError(tqappmgr::DirectoryWriter&)>;

struct Command {
    const char* name;
    const char* help;
    // The names of its arguments; with `listLast`, the last one takes any
    // number of values (none included).
    std::vector<const char*> arguments;
    bool listLast;
    // Parses the arguments (UsageError when they are bad) into the action, so
    // that a bad command line never touches the database.
    std::function<Action(const Arguments&)> parse;
};

const std::vector<Command>& commands() {
    using Writer = tqappmgr::DirectoryWriter;
    static const std::vector<Command> all = {
        {"init",
         "create the database (and its folder) if missing",
         {},
         false,
         [](const Arguments&) -> Action { return [](Writer&) { return CYxError(); }; }},
        {"add-cell",
         "add or update a cell (NUMBER 0: no number; ID 0 is reserved)",
         {"ID", "NUMBER"},
         false,
         [](const Arguments& a) -> Action {
             const int64_t id = number(a[0], "ID");
             const int64_t cellNumber = number(a[1], "NUMBER");
             return [=](Writer& to) { return to.addCell(id, cellNumber); };
         }},
        {"add-client",
         "add or update a client reached at HOST (name[:port] or [IPv6]:port; '': none)",
         {"ID", "CELL", "HOST"},
         false,
         [](const Arguments& a) -> Action {
             const int64_t id = number(a[0], "ID");
             const int64_t cell = number(a[1], "CELL");
             const std::string host = checkedHost(a[2]);
             return [=](Writer& to) { return to.addClient(id, cell, host); };
         }},
        {"add-app",
         "add or update an application of CLIENT (CELL must be the client's cell)",
         {"ID", "CELL", "CLIENT", "APPTYPE"},
         false,
         [](const Arguments& a) -> Action {
             const int64_t id = number(a[0], "ID");
             const int64_t cell = number(a[1], "CELL");
             const int64_t client = number(a[2], "CLIENT");
             const int64_t appType = number(a[3], "APPTYPE");
             return [=](Writer& to) { return to.addApplication(id, cell, client, appType); };
         }},
        {"add-cloud",
         "add or update a content-indexing cloud",
         {"ID", "NAME"},
         false,
         [](const Arguments& a) -> Action {
             const int64_t id = number(a[0], "ID");
             const std::string& name = a[1];
             return [=](Writer& to) { return to.addCloud(id, name); };
         }},
        {"add-cloud-member",
         "append CLIENT to CLOUD's members, or update its property word (bit 0: the CI server)",
         {"CLOUD", "CLIENT", "PROPS"},
         false,
         [](const Arguments& a) -> Action {
             const int64_t cloud = number(a[0], "CLOUD");
             const int64_t client = number(a[1], "CLIENT");
             const int64_t properties = number(a[2], "PROPS");
             return [=](Writer& to) { return to.addCloudMember(cloud, client, properties); };
         }},
        {"map-client-engines",
         "set the clouds of CLIENT's APPTYPE data, in this order (none: clear)",
         {"CLIENT", "APPTYPE", "CLOUD"},
         true,
         [](const Arguments& a) -> Action {
             const int64_t client = number(a[0], "CLIENT");
             const int64_t appType = number(a[1], "APPTYPE");
             const std::vector<int64_t> clouds = numbers(a.begin() + 2, a.end(), "CLOUD");
             return [=](Writer& to) { return to.mapClientEngines(client, appType, clouds); };
         }},
        {"map-app-engines",
         "set the clouds of application APP, in this order",
         {"APP", "CLOUD"},
         true,
         [](const Arguments& a) -> Action {
             const int64_t application = number(a[0], "APP");
             const std::vector<int64_t> clouds = numbers(a.begin() + 1, a.end(), "CLOUD");
             return [=](Writer& to) { return to.mapApplicationEngines(application, clouds); };
         }},
        {"load",
         "run the SQL statements of FILE in one transaction (all or nothing)",
         {"FILE"},
         false,
         [](const Arguments& a) -> Action {
             const std::string& file = a[0];
             return [=](Writer& directory) {
                 std::string statements;
                 const CYxError read = readFile(file, statements);
                 return read.IsError() ? read : directory.execute(statements);
             };
         }},
        {"show", "print every record", {}, false, [](const Arguments&) -> Action { return show; }},
    };
    return all;
}

// The values CLI11 parses into for one command: one per argument, and the
// list of the last one.
struct CommandValues {
    const Command* command = nullptr;
    Arguments fixed;
    Arguments list;

    Arguments all() const {
        Arguments values = fixed;
        values.insert(values.end(), list.begin(), list.end());
        return values;
    }
};

void defineCommand(CLI::App& app, const Command& command, CommandValues& values) {
    // The command list of --help shows each command's arguments.
    std::string synopsis;
    for (const char* argument : command.arguments) {
        synopsis.append(argument).append(
            command.listLast && argument == command.arguments.back() ? "... " : " ");
    }
    CLI::App* sub = app.add_subcommand(
        command.name, synopsis.empty() ? command.help : synopsis + "- " + command.help);
    values.command = &command;
    const size_t fixedCount = command.arguments.size() - (command.listLast ? 1 : 0);
    values.fixed.resize(fixedCount);
    for (size_t i = 0; i < fixedCount; ++i) {
        sub->add_option(command.arguments[i], values.fixed[i])->required();
    }
    if (command.listLast) {
        sub->add_option(command.arguments.back(), values.list)->type_name("...");
    }
}

int failed(const std::string& message) {
    (void)std::fprintf(stderr, "tqdir: %s\n", message.c_str());
    return kExitFailed;
}

int run(const std::string& location, const CommandValues& values) {
    const Action action = values.command->parse(values.all());
    // Only init creates the database.
    const bool init = std::string(values.command->name) == "init";
    std::unique_ptr<tqappmgr::DirectoryWriter> directory;
    CYxError result =
        tqappmgr::DirectoryWriter::open(location,
                                        init ? tqappmgr::DirectoryWriter::Open::CreateIfMissing
                                             : tqappmgr::DirectoryWriter::Open::MustExist,
                                        directory);
    if (result.Code() == tqerr::kNotADirectory) {
        return failed(result.AsString() + "\ntqdir: " + kDatabaseHint);
    }
    if (!result.IsError()) {
        result = action(*directory);
    }
    return result.IsError() ? failed(result.AsString()) : kExitOk;
}

int parseAndRun(int argc, char** argv) {
    CLI::App app(kDescription, "tqdir");
    app.set_version_flag("--version", "tqdir " TQ_PROJECT_VERSION);
    app.footer(kFooter);
    app.require_subcommand(1);
    // --db may also follow the command.
    app.fallthrough();
    std::string location = tqappmgr::databasePath();
    app.add_option("--db", location, "the directory database: a SQLite file or a PostgreSQL URI")
        ->type_name("PATH|URI")
        ->check(tqtool::nonEmpty("a path or URI"));
    std::list<CommandValues> values(commands().size());
    auto slot = values.begin();
    for (const Command& command : commands()) {
        defineCommand(app, command, *slot++);
    }
    return tqtool::parseAndRun(app, argc, argv, [&] {
        const std::string chosen = app.get_subcommands().front()->get_name();
        for (const CommandValues& candidate : values) {
            if (chosen == candidate.command->name) {
                return run(location, candidate);
            }
        }
        return kExitFailed;
    });
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return parseAndRun(argc, argv);
    } catch (const std::exception& error) {
        // An allocation failure, or another library's exception.
        return failed(error.what());
    }
}
