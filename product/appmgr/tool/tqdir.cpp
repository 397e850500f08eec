// tqdir: create a directory database and fill it from the command line.
#include <cctype>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "TqDirectory.h"
#include "TqProjectVersion.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kUnlimited = -1;

using Arguments = std::vector<std::string>;

// A bad command line; main() prints it with a hint and exits with kExitUsage.
struct UsageError {
    std::string message;
};

constexpr char kUsage[] = R"(Usage: tqdir [--db PATH|URI] COMMAND [ARGUMENT...]

Creates and fills the directory database of cells, clients, applications and
content-indexing clouds. The database is PATH or URI, else $TQ_DIRECTORY_DB,
else /var/lib/tq/directory.db. A URI postgresql://USER@HOST:PORT/DBNAME?...
(or postgres://...) names a PostgreSQL database; anything else a SQLite file.

Commands:
  init                              create the database (and its folder) if missing
  add-cell ID NUMBER                add or update a cell (NUMBER 0: no number;
                                    ID 0 is reserved)
  add-client ID CELL HOST           add or update a client reached at HOST
                                    ("name[:port]")
  add-app ID CELL CLIENT APPTYPE    add or update an application of CLIENT
                                    (CELL must be the client's cell)
  add-cloud ID NAME                 add or update a content-indexing cloud
  add-cloud-member CLOUD CLIENT PROPS
                                    append CLIENT to CLOUD's members, or update
                                    its property word (bit 0: the CI server)
  map-client-engines CLIENT APPTYPE [CLOUD...]
                                    set the clouds of CLIENT's APPTYPE data,
                                    in this order (none: clear)
  map-app-engines APP [CLOUD...]    set the clouds of application APP, in order
  load FILE.sql                     run the SQL statements of FILE in one
                                    transaction (all or nothing)
  show                              print every record

Numbers are signed 64-bit, decimal or hex with 0x. Values up to 2^64-1 are
taken as their two's complement, so 18446744073709551615 stands for -1.

Exit status: 0 done, 1 the database failed or refused the change, 2 usage error.
)";

// Parse a signed 64-bit number written in decimal or 0x-hex, with an optional
// minus sign; unsigned 64-bit values wrap to their two's complement.
bool parseNumber(const std::string& text, int64_t& value) {
    const bool negative = !text.empty() && text[0] == '-';
    const char* digits = text.c_str() + (negative ? 1 : 0);
    int base = 10;
    if (std::strncmp(digits, "0x", 2) == 0 || std::strncmp(digits, "0X", 2) == 0) {
        base = 16;
        digits += 2;
    }
    // Every character up to the end of the text must be a digit of the base:
    // strtoull alone would accept a second "0x", signs and blanks, and stop
    // early at an embedded NUL.
    const char* textEnd = text.c_str() + text.size();
    const auto digitOfBase = [base](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return base == 16 ? std::isxdigit(byte) != 0 : std::isdigit(byte) != 0;
    };
    if (digits == textEnd || !std::all_of(digits, textEnd, digitOfBase)) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long magnitude = std::strtoull(digits, &end, base);
    if (errno != 0 || end != textEnd) {
        return false;
    }
    if (!negative) {
        value = static_cast<int64_t>(magnitude);
        return true;
    }
    constexpr unsigned long long kLargestNegativeMagnitude =
        static_cast<unsigned long long>(std::numeric_limits<int64_t>::max()) + 1;
    if (magnitude > kLargestNegativeMagnitude) {
        return false;
    }
    value = static_cast<int64_t>(0 - magnitude);
    return true;
}

int64_t number(const std::string& text, const char* what) {
    int64_t value = 0;
    if (!parseNumber(text, value)) {
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

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file) {
        throw tqdir::DirectoryError("cannot read " + path + ": " + std::strerror(errno));
    }
    return text.str();
}

// Print the rows of `query` under `title`, columns separated by two blanks.
void printTable(tqdir::DirectoryWriter& directory, const char* title, const char* header,
                const std::string& query) {
    std::printf("%s\n  %s\n", title, header);
    directory.forEachRow(query, [](const std::vector<std::string>& columns) {
        std::string line;
        for (const std::string& column : columns) {
            line += "  " + column;
        }
        std::printf("%s\n", line.c_str());
    });
}

void show(tqdir::DirectoryWriter& directory) {
    printTable(directory, "cells:", "id  number", "SELECT id, number FROM cells ORDER BY id");
    printTable(directory, "clients:", "id  cell  host",
               "SELECT id, cell_id, host FROM clients ORDER BY id");
    printTable(directory, "applications:", "id  cell  client  apptype",
               "SELECT id, cell_id, client_id, app_type FROM applications ORDER BY id");
    printTable(directory, "clouds:", "id  name", "SELECT id, name FROM clouds ORDER BY id");
    printTable(directory, "cloud members:", "cloud  client  properties",
               "SELECT cloud_id, client_id, properties FROM cloud_members"
               " ORDER BY cloud_id, position");
    printTable(directory, "client engines:", "client  apptype  cloud",
               "SELECT client_id, app_type, cloud_id FROM client_engines"
               " ORDER BY client_id, app_type, position");
    printTable(directory, "application engines:", "application  cloud",
               "SELECT application_id, cloud_id FROM application_engines"
               " ORDER BY application_id, position");
}

// What a command does to the directory, with its arguments already parsed.
using Action = std::function<void(tqdir::DirectoryWriter&)>;

struct Command {
    const char* name;
    int minArguments;
    int maxArguments;  // kUnlimited for a list
    // Parses the arguments (UsageError when they are bad) into the action, so
    // that a bad command line never touches the database.
    std::function<Action(const Arguments&)> parse;
};

const std::vector<Command>& commands() {
    using Writer = tqdir::DirectoryWriter;
    static const std::vector<Command> all = {
        {"init", 0, 0, [](const Arguments&) -> Action { return [](Writer&) {}; }},
        {"add-cell", 2, 2,
         [](const Arguments& a) -> Action {
             const int64_t id = number(a[0], "ID");
             const int64_t cellNumber = number(a[1], "NUMBER");
             return [=](Writer& directory) { directory.addCell(id, cellNumber); };
         }},
        {"add-client", 3, 3,
         [](const Arguments& a) -> Action {
             const int64_t id = number(a[0], "ID");
             const int64_t cell = number(a[1], "CELL");
             const std::string& host = a[2];
             return [=](Writer& directory) { directory.addClient(id, cell, host); };
         }},
        {"add-app", 4, 4,
         [](const Arguments& a) -> Action {
             const int64_t id = number(a[0], "ID");
             const int64_t cell = number(a[1], "CELL");
             const int64_t client = number(a[2], "CLIENT");
             const int64_t appType = number(a[3], "APPTYPE");
             return [=](Writer& directory) { directory.addApplication(id, cell, client, appType); };
         }},
        {"add-cloud", 2, 2,
         [](const Arguments& a) -> Action {
             const int64_t id = number(a[0], "ID");
             const std::string& name = a[1];
             return [=](Writer& directory) { directory.addCloud(id, name); };
         }},
        {"add-cloud-member", 3, 3,
         [](const Arguments& a) -> Action {
             const int64_t cloud = number(a[0], "CLOUD");
             const int64_t client = number(a[1], "CLIENT");
             const int64_t properties = number(a[2], "PROPS");
             return [=](Writer& directory) { directory.addCloudMember(cloud, client, properties); };
         }},
        {"map-client-engines", 2, kUnlimited,
         [](const Arguments& a) -> Action {
             const int64_t client = number(a[0], "CLIENT");
             const int64_t appType = number(a[1], "APPTYPE");
             const std::vector<int64_t> clouds = numbers(a.begin() + 2, a.end(), "CLOUD");
             return [=](Writer& directory) { directory.mapClientEngines(client, appType, clouds); };
         }},
        {"map-app-engines", 1, kUnlimited,
         [](const Arguments& a) -> Action {
             const int64_t application = number(a[0], "APP");
             const std::vector<int64_t> clouds = numbers(a.begin() + 1, a.end(), "CLOUD");
             return [=](Writer& directory) { directory.mapApplicationEngines(application, clouds); };
         }},
        {"load", 1, 1,
         [](const Arguments& a) -> Action {
             const std::string& file = a[0];
             return [=](Writer& directory) { directory.execute(readFile(file)); };
         }},
        {"show", 0, 0, [](const Arguments&) -> Action { return show; }},
    };
    return all;
}

const Command& findCommand(const std::string& name, const Arguments& arguments) {
    for (const Command& command : commands()) {
        if (name != command.name) {
            continue;
        }
        const int count = static_cast<int>(arguments.size());
        if (count < command.minArguments ||
            (command.maxArguments != kUnlimited && count > command.maxArguments)) {
            throw UsageError{"wrong number of arguments for " + name};
        }
        return command;
    }
    throw UsageError{"unknown command '" + name + "'"};
}

int run(const Arguments& commandLine) {
    std::string path = tqdir::databasePath();
    size_t next = 0;
    if (next < commandLine.size() && (commandLine[next] == "--help" || commandLine[next] == "-h")) {
        (void)std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (next < commandLine.size() && commandLine[next] == "--db") {
        if (next + 1 >= commandLine.size()) {
            throw UsageError{"--db needs a PATH or URI"};
        }
        path = commandLine[next + 1];
        next += 2;
    }
    if (next >= commandLine.size()) {
        throw UsageError{"no command given"};
    }
    const std::string& name = commandLine[next];
    const Arguments arguments(commandLine.begin() + static_cast<long>(next) + 1, commandLine.end());
    const Action action = findCommand(name, arguments).parse(arguments);
    tqdir::DirectoryWriter directory(path, name == "init"
                                               ? tqdir::DirectoryWriter::Open::CreateIfMissing
                                               : tqdir::DirectoryWriter::Open::MustExist);
    action(directory);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        (void)std::fputs("tqdir " TQ_PROJECT_VERSION "\n", stdout);
        return kExitOk;
    }
    try {
        return run(Arguments(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        (void)std::fprintf(stderr, "tqdir: %s\nTry 'tqdir --help'.\n", error.message.c_str());
        return kExitUsage;
    } catch (const tqdir::DirectoryError& error) {
        (void)std::fprintf(stderr, "tqdir: %s\n", error.what());
        return kExitFailed;
    }
}
