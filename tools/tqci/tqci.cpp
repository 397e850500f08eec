// tqci: erase content-index entries and prune archive-file documents through
// the helper library, the way a host process of the product does.

#include <dlfcn.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "PruneList.h"
#include "TQCIHelper.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoLibrary = 3;

constexpr char kHelperLogFile[] = "CIHelper.log";
constexpr char kLogDirectoryEnv[] = "TQ_LOG_DIR";
constexpr char kDefaultLogDirectory[] = "/var/log/tq";
// The helper's line for a prune session whose server did not accept the close.
constexpr char kLostPrunesLine[] = "Failed to disconnect from document processing server";

const char kUsage[] = R"(usage: tqci [options] COMMAND [ARGS]

Erase content-index entries and prune archive-file documents through
libTQCIHelper.so, as the product's host processes do.

Commands:
  erase-backup   --cell ID --client ID --app-type N PATH...
                 erase the index entries of backed-up data of a client
  erase-migrated --cell ID --app ID PATH...
                 erase the index entries of migrated data of an application
  erase-rurizoze --cell ID --cell-number N --client ID --app-type N --cloud ID PATH...
                 erase the index entries of RuRizoze data indexed by one cloud
  prune [FILE]   prune the documents of archive files listed in FILE (or on
                 standard input when FILE is '-' or missing), one per line:
                 cellNumber archiveFileId cloudId [aux1 aux2]
                 Fails also when a server did not accept the close of its
                 prune session (its prunes may not have been carried out).
  erase-lines [FILE]
                 run the erases of FILE (or standard input) one after the
                 other with one helper, each as soon as its line is read:
                   backup CELL CLIENT APP_TYPE PATH
                   migrated CELL APP PATH
                   rurizoze CELL CELL_NUMBER CLIENT APP_TYPE CLOUD PATH
                 (PATH: the rest of the line); a result line for each

Several PATHs are erased one after the other with the same helper, so its
sessions to the CI servers are reused.

Options:
  --paths-from FILE  erase the paths listed in FILE, one per line ('-' for
                     standard input), after those on the command line  -v, --verbose  print the debug-log lines the calls wrote
  -h, --help     this text

Exit status: 0 when every call succeeded, 1 when one failed, 2 for a usage
error, 3 when the helper library lacks its entry points.
The debug log is $TQ_LOG_DIR/CIHelper.log (default /var/log/tq).
)";

struct Options {
    bool verbose = false;
    std::string command;
    std::optional<int> cell, cellNumber, client, appType, app, cloud;
    std::vector<std::string> operands;
    std::string pathsFrom;
};

// The four plain entry points, looked up by name.
struct EntryPoints {
    void* (*init)() = nullptr;
    void (*deInit)(void*) = nullptr;
    int (*eraseBackup)(void*, int, int, int, const char*, bool) = nullptr;
    int (*eraseMigrated)(void*, int, int, const char*, bool) = nullptr;
};

int usageError(const std::string& message) {
    std::cerr << "tqci: " << message << "\nTry 'tqci --help'.\n";
    return kExitUsage;
}

bool parseId(const char* text, int& value) {
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

std::string debugLogPath() {
    const char* directory = std::getenv(kLogDirectoryEnv);
    std::string base = (directory && *directory) ? directory : kDefaultLogDirectory;
    return base + "/" + kHelperLogFile;
}

// Parses the command line; returns an exit status when the program should stop.
std::optional<int> parseOptions(int argc, char** argv, Options& options) {
    enum { kPathsFrom = 999, kCell = 1000, kCellNumber, kClient, kAppType, kApp, kCloud };
    static const option kLong[] = {
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {"cell", required_argument, nullptr, kCell},
        {"cell-number", required_argument, nullptr, kCellNumber},
        {"client", required_argument, nullptr, kClient},
        {"app-type", required_argument, nullptr, kAppType},
        {"app", required_argument, nullptr, kApp},
        {"cloud", required_argument, nullptr, kCloud},
        {"paths-from", required_argument, nullptr, kPathsFrom},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    // Options may stand before and after the command and among the operands;
    // "--" ends them.
    while (optind < argc) {
        const int before = optind;
        const int option = getopt_long(argc, argv, "+vh", kLong, nullptr);
        if (option == -1) {
            if (optind > before && std::strcmp(argv[optind - 1], "--") == 0) {
                break;
            }
            const char* word = argv[optind++];
            if (options.command.empty()) {
                options.command = word;
            } else {
                options.operands.emplace_back(word);
            }
            continue;
        }
        int value = 0;
        auto id = [&](std::optional<int>& slot, const char* name) -> std::optional<int> {
            if (!parseId(optarg, value)) {
                return usageError(std::string("--") + name + " needs a 32-bit integer, not '" + optarg + "'");
            }
            slot = value;
            return std::nullopt;
        };
        std::optional<int> stop;
        switch (option) {
            case 'v': options.verbose = true; break;
            case 'h': std::cout << kUsage; return kExitOk;
            case kCell: stop = id(options.cell, "cell"); break;
            case kCellNumber: stop = id(options.cellNumber, "cell-number"); break;
            case kClient: stop = id(options.client, "client"); break;
            case kAppType: stop = id(options.appType, "app-type"); break;
            case kApp: stop = id(options.app, "app"); break;
            case kCloud: stop = id(options.cloud, "cloud"); break;
            case kPathsFrom: options.pathsFrom = optarg; break;
            case ':': return usageError(std::string(argv[optind - 1]) + " needs a value");
            default: return usageError(std::string("unknown option '") + argv[optind - 1] + "'");
        }
        if (stop) {
            return stop;
        }
    }
    for (; optind < argc; ++optind) {
        if (options.command.empty()) {
            options.command = argv[optind];
        } else {
            options.operands.emplace_back(argv[optind]);
        }
    }
    if (options.command.empty()) {
        return usageError("no command given");
    }
    return std::nullopt;
}

std::optional<int> require(const std::optional<int>& value, const char* name) {
    if (!value) {
        return usageError(std::string(name) + " is required for this command");
    }
    return std::nullopt;
}

// The lines of this process that the debug log received since `offset`.
std::vector<std::string> ownLogLinesSince(const std::string& path, std::streamoff offset) {
    std::vector<std::string> lines;
    std::ifstream log(path);
    if (!log) {
        return lines;
    }
    log.seekg(offset);
    const std::string ownPid = std::to_string(getpid()) + " ";
    for (std::string line; std::getline(log, line);) {
        if (line.compare(0, ownPid.size(), ownPid) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::streamoff logSize(const std::string& path) {
    std::ifstream log(path, std::ios::ate);
    return log ? static_cast<std::streamoff>(log.tellg()) : 0;
}

// A path as shown in a result line: long ones are cut.
std::string shown(const std::string& path) {
    constexpr size_t kShownLength = 160;
    return path.size() <= kShownLength ? path : path.substr(0, kShownLength) + "...";
}

int report(const std::string& what, int result) {
    std::cout << what << ": " << (result == 0 ? "ok" : "FAILED") << '\n';
    return result == 0 ? kExitOk : kExitFailed;
}

// Standard input for '-', otherwise `file` opened on `source`; null (after
// saying why) when it cannot be read.
std::istream* openInput(const std::string& source, std::ifstream& file) {
    if (source == "-") {
        return &std::cin;
    }
    file.open(source);
    if (!file) {
        std::cerr << "tqci: cannot read '" << source << "': " << std::strerror(errno) << '\n';
        return nullptr;
    }
    return &file;
}

// Appends the lines of `source` ('-': standard input) to `paths`.
bool readPaths(const std::string& source, std::vector<std::string>& paths) {
    std::ifstream file;
    std::istream* in = openInput(source, file);
    if (in == nullptr) {
        return false;
    }
    for (std::string line; std::getline(*in, line);) {
        if (!line.empty()) {
            paths.push_back(line);
        }
    }
    return true;
}

int runErase(const Options& options, const EntryPoints& entry) {
    std::vector<std::string> paths = options.operands;
    if (!options.pathsFrom.empty() && !readPaths(options.pathsFrom, paths)) {
        return kExitUsage;
    }
    if (paths.empty()) {
        return usageError("give at least one PATH to erase");
    }
    std::optional<int> stop = require(options.cell, "--cell");
    if (!stop && options.command == "erase-backup") {
        if (!(stop = require(options.client, "--client"))) stop = require(options.appType, "--app-type");
    } else if (!stop && options.command == "erase-migrated") {
        stop = require(options.app, "--app");
    } else if (!stop) {
        for (auto [value, name] : {std::pair{&options.cellNumber, "--cell-number"},
                                   std::pair{&options.client, "--client"},
                                   std::pair{&options.appType, "--app-type"},
                                   std::pair{&options.cloud, "--cloud"}}) {
            if ((stop = require(*value, name))) break;
        }
    }
    if (stop) {
        return *stop;
    }

    int status = kExitOk;
    if (options.command == "erase-rurizoze") {
        CIEraseWrapper wrapper;
        for (const auto& path : paths) {
            const int result = wrapper.eraseRuRizozeCIData(*options.cell, *options.cellNumber, *options.client,
                                                           *options.appType, *options.cloud, path.c_str());
            status = std::max(status, report("erase-rurizoze " + shown(path), result));
        }
        return status;
    }
    void* handle = entry.init();
    if (handle == nullptr) {
        std::cerr << "tqci: the helper could not be created (out of memory)\n";
        return kExitFailed;
    }
    for (const auto& path : paths) {
        const int result = options.command == "erase-backup"
            ? entry.eraseBackup(handle, *options.cell, *options.client, *options.appType, path.c_str(), false)
            : entry.eraseMigrated(handle, *options.cell, *options.app, path.c_str(), false);
        status = std::max(status, report(options.command + " " + shown(path), result));
    }
    entry.deInit(handle);
    return status;
}

// One line of erase-lines: its kind, its numbers and the rest as the path.
struct EraseLine {
    std::string kind;
    std::vector<int> ids;
    std::string path;
};

bool parseEraseLine(const std::string& text, EraseLine& line) {
    static const std::map<std::string, size_t> kIdCount = {
        {"backup", 3}, {"migrated", 2}, {"rurizoze", 5}};
    std::istringstream in(text);
    if (!(in >> line.kind) || kIdCount.count(line.kind) == 0) {
        return false;
    }
    line.ids.clear();
    for (std::string word; line.ids.size() < kIdCount.at(line.kind) && in >> word;) {
        int id = 0;
        if (!parseId(word.c_str(), id)) {
            return false;
        }
        line.ids.push_back(id);
    }
    in.get();  // the blank before the path
    std::getline(in, line.path);
    return line.ids.size() == kIdCount.at(line.kind) && !line.path.empty();
}

int runEraseLine(void* handle, const EntryPoints& entry, const EraseLine& line) {
    const std::vector<int>& id = line.ids;
    const char* path = line.path.c_str();
    if (line.kind == "backup") {
        return entry.eraseBackup(handle, id[0], id[1], id[2], path, false);
    }
    if (line.kind == "migrated") {
        return entry.eraseMigrated(handle, id[0], id[1], path, false);
    }
    // The handle is the wrapper that components of the product call directly.
    return static_cast<CIEraseWrapper*>(handle)->eraseRuRizozeCIData(id[0], id[1], id[2], id[3],
                                                                     id[4], path);
}

// Erases line by line with one handle, so that its cached servers and
// sessions carry over from one erase to the next.
int runEraseLines(const Options& options, const EntryPoints& entry) {
    if (options.operands.size() > 1) {
        return usageError("erase-lines takes at most one FILE");
    }
    const std::string source = options.operands.empty() ? "-" : options.operands[0];
    std::ifstream file;
    std::istream* in = openInput(source, file);
    if (in == nullptr) {
        return kExitUsage;
    }
    void* handle = entry.init();
    if (handle == nullptr) {
        std::cerr << "tqci: the helper could not be created (out of memory)\n";
        return kExitFailed;
    }
    int status = kExitOk;
    int number = 0;
    EraseLine line;
    for (std::string text; status != kExitUsage && std::getline(*in, text);) {
        ++number;
        if (text.empty()) {
            continue;
        }
        if (!parseEraseLine(text, line)) {
            status = usageError(source + ":" + std::to_string(number) + ": not an erase line");
            continue;
        }
        const int result = runEraseLine(handle, entry, line);
        status = std::max(status, report("erase-" + line.kind + " " + shown(line.path), result));
        std::cout.flush();
    }
    entry.deInit(handle);
    return status;
}

int runPrune(const Options& options, const std::string& logPath, std::streamoff logStart) {
    if (options.operands.size() > 1) {
        return usageError("prune takes at most one FILE");
    }
    const std::string source = options.operands.empty() ? "-" : options.operands[0];
    std::vector<_PruneElem> elements;
    PruneListError error;
    std::ifstream file;
    std::istream* in = openInput(source, file);
    if (in == nullptr) {
        return kExitUsage;
    }
    if (!readPruneList(*in, elements, error)) {
        return usageError(source + ":" + std::to_string(error.line) + ": " + error.message);
    }
    CIAFPruner pruner;
    int result = pruner.PruneCIDocs(elements);
    // The result says only whether a server was reached. A server that could
    // not carry the prunes out resets the session, which the helper logs.
    for (const std::string& line : ownLogLinesSince(logPath, logStart)) {
        if (line.find(kLostPrunesLine) != std::string::npos) {
            result = 1;
        }
    }
    return report("prune of " + std::to_string(elements.size()) + " archive files", result);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto stop = parseOptions(argc, argv, options)) {
        return *stop;
    }
    const bool isErase = options.command == "erase-backup" || options.command == "erase-migrated" ||
                         options.command == "erase-rurizoze";
    if (!isErase && options.command != "prune" && options.command != "erase-lines") {
        return usageError("unknown command '" + options.command + "'");
    }

    // The helper library is loaded with this program (found through its
    // run-time search path); the plain entry points are looked up by name, as
    // a host that only knows the library's C interface does.
    void* library = RTLD_DEFAULT;
    EntryPoints entry;
    entry.init = reinterpret_cast<void* (*)()>(dlsym(library, "initEraseCIHelper"));
    entry.deInit = reinterpret_cast<void (*)(void*)>(dlsym(library, "deInitEraseCIHelper"));
    entry.eraseBackup = reinterpret_cast<int (*)(void*, int, int, int, const char*, bool)>(
        dlsym(library, "eraseBackupData"));
    entry.eraseMigrated = reinterpret_cast<int (*)(void*, int, int, const char*, bool)>(
        dlsym(library, "eraseMigratedData"));
    if (!entry.init || !entry.deInit || !entry.eraseBackup || !entry.eraseMigrated) {
        std::cerr << "tqci: the helper library lacks its entry points\n";
        return kExitNoLibrary;
    }

    const std::string logPath = debugLogPath();
    const std::streamoff logStart = logSize(logPath);
    const int status = isErase                           ? runErase(options, entry)
                       : options.command == "erase-lines" ? runEraseLines(options, entry)
                                                          : runPrune(options, logPath, logStart);
    if (status != kExitUsage) {
        std::cerr << "tqci: debug log: " << logPath << '\n';
        if (options.verbose) {
            for (const std::string& line : ownLogLinesSince(logPath, logStart)) {
                std::cerr << "  log: " << line << '\n';
            }
        }
    }
    return status;
}
