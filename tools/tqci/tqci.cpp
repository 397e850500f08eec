// tqci: erase content-index entries and prune archive-file documents through
// the helper library, the way a host process of the product does.

#include <dlfcn.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "CliSupport.h"
#include "DebugLog.h"
#include "Integer.h"
#include "PruneList.h"
#include "Report.h"
#include "TQCIHelper.h"
#include "Targets.h"
#include "TqProjectVersion.h"

namespace {

using tqtool::UsageError;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNoLibrary = 3;

// The helper's line for a prune session whose server did not accept the
// close: its prunes may not have been carried out.
constexpr char kLostPrunesLine[] = "Failed to disconnect from document processing server";

constexpr char kFooter[] = R"(
Several PATHs are erased one after the other with the same helper, so its
sessions to the CI servers are reused. PATHs must be absolute.

Before calling the helper, tqci asks the directory which CI servers the call
would reach: when it lists none, nothing is sent and the call is reported as
having nothing to erase. The reasons of a failed call, the lines it wrote to
the debug log, follow its result on standard error (-q: not shown).

With --json each path or prune list gives one line on standard output:
  {"path":"/p","result":"ok|failed|nothing-to-erase","reasons":["..."]}

Exit status: 0 when every call succeeded, 1 when one failed or had nothing to
erase, 2 for a usage error, 3 when the helper library lacks its entry points.

Environment:
  TQ_LOG_DIR               folder of the debug log CIHelper.log (/var/log/tq)
  TQ_DIRECTORY_DB          the directory database: a SQLite file path
                           (/var/lib/tq/directory.db) or a PostgreSQL URI
                           postgresql://USER@HOST:PORT/DBNAME?sslmode=verify-full
                           (or postgres://...)
  TQ_TLS_CA, TQ_TLS_CERT, TQ_TLS_KEY
                           the cell's authority, this host's certificate and key
  TQ_TLS_CRL               the authority's revocation lists (PEM file or c_rehash
                           folder): a revoked server is refused; a list that
                           cannot be used fails every attach. TLS files that
                           change are read again at the next attach
  TQ_TLS_ALLOW_SHARED_KEY  1: use a key file that group or others may read
  TQ_ALLOW_PLAINTEXT       1: plain TCP beyond loopback (trusted networks only)
  TQ_SESSION_WAIT_UNIT_MS  length of a session wait unit in ms (1000)
  TQ_FOCUS, TQ_PLATFORM_TYPE, TQ_VORNSERVER_CLIENT_NAME
                           the local name the helper gives when it attaches
)";

struct Options {
    ReportStyle style;
    std::string command;
    int32_t cell = 0, cellNumber = 0, client = 0, appType = 0, app = 0, cloud = 0;
    std::vector<std::string> paths;
    std::string pathsFrom;
    std::string pruneList = "-";
    std::string eraseLines = "-";
};

// The four plain entry points, looked up by name.
struct EntryPoints {
    void* (*init)() = nullptr;
    void (*deInit)(void*) = nullptr;
    int (*eraseBackup)(void*, int, int, int, const char*, bool) = nullptr;
    int (*eraseMigrated)(void*, int, int, const char*, bool) = nullptr;
};

void addId(CLI::App& command, const std::string& name, int32_t& slot, const std::string& help) {
    tqtool::addInteger(command, name, slot, help)->type_name("ID")->required();
}

void addPaths(CLI::App& command, Options& options) {
    command.add_option("PATH", options.paths, "absolute path whose index entries are erased");
    command.add_option("--paths-from", options.pathsFrom,
                       "erase the paths listed in FILE, one per line ('-': standard input), "
                       "after those on the command line")
        ->type_name("FILE");
}

void defineCommandLine(CLI::App& app, Options& options) {
    app.set_version_flag("--version", "tqci " TQ_PROJECT_VERSION);
    app.footer(kFooter);
    app.require_subcommand(1);
    // Options of the program may also follow the command.
    app.fallthrough();
    auto* verbose = tqtool::addFlag(app, "-v,--verbose", options.style.verbose,
                                    "also show the debug-log lines of successful calls");
    tqtool::addFlag(app, "-q,--quiet", options.style.quiet, "show no reasons on standard error")
        ->excludes(verbose);
    tqtool::addFlag(app, "--json", options.style.json, "print one JSON object per path or prune list");

    auto* backup = app.add_subcommand("erase-backup",
                                      "erase the index entries of backed-up data of a client");
    addId(*backup, "--cell", options.cell, "the client's cell");
    addId(*backup, "--client", options.client, "the client");
    addId(*backup, "--app-type", options.appType, "the application type of the data");
    addPaths(*backup, options);

    auto* migrated = app.add_subcommand(
        "erase-migrated", "erase the index entries of migrated data of an application");
    addId(*migrated, "--cell", options.cell, "the application's cell");
    addId(*migrated, "--app", options.app, "the application");
    addPaths(*migrated, options);

    auto* rurizoze = app.add_subcommand(
        "erase-rurizoze", "erase the index entries of RuRizoze data indexed by one cloud");
    addId(*rurizoze, "--cell", options.cell, "the client's cell");
    addId(*rurizoze, "--cell-number", options.cellNumber, "the cell's number");
    addId(*rurizoze, "--client", options.client, "the client");
    addId(*rurizoze, "--app-type", options.appType, "the application type of the data");
    addId(*rurizoze, "--cloud", options.cloud, "the cloud that indexed the data");
    addPaths(*rurizoze, options);

    auto* prune = app.add_subcommand("prune", "prune the documents of the archive files in a list");
    prune->add_option("FILE", options.pruneList, "the prune list ('-' or none: standard input)");
    prune->footer("\nOne archive file per line: cellNumber archiveFileId cloudId [aux1 aux2].");

    auto* lines = app.add_subcommand(
        "erase-lines", "run erases of several cells, clients and types with one helper");
    lines->add_option("FILE", options.eraseLines, "the erase lines ('-' or none: standard input)");
    lines->footer(
        "\nEach line is run as soon as it is read, with the same helper:\n"
        "  backup CELL CLIENT APP_TYPE PATH\n"
        "  migrated CELL APP PATH\n"
        "  rurizoze CELL CELL_NUMBER CLIENT APP_TYPE CLOUD PATH\n"
        "PATH is the rest of the line.");
}

// `source` opened in `file`, or standard input for '-'.
std::istream& openInput(const std::string& source, std::ifstream& file) {
    if (source == "-") {
        return std::cin;
    }
    file.open(source);
    if (!file) {
        throw UsageError{"cannot read '" + source + "': " + std::strerror(errno)};
    }
    return file;
}

// The lines of `source` ('-': standard input), blank ones skipped.
std::vector<std::string> readPaths(const std::string& source) {
    std::ifstream file;
    std::istream& in = openInput(source, file);
    std::vector<std::string> paths;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            paths.push_back(line);
        }
    }
    return paths;
}

std::vector<std::string> pathsToErase(const Options& options) {
    std::vector<std::string> paths = options.paths;
    if (!options.pathsFrom.empty()) {
        std::vector<std::string> listed = readPaths(options.pathsFrom);
        paths.insert(paths.end(), listed.begin(), listed.end());
    }
    if (paths.empty()) {
        throw UsageError{"give at least one PATH to erase"};
    }
    for (const auto& path : paths) {
        if (path[0] != '/') {
            throw UsageError{"'" + path + "' is not an absolute path"};
        }
    }
    return paths;
}

std::vector<_PruneElem> pruneElements(const std::string& source) {
    std::vector<_PruneElem> elements;
    PruneListError error;
    std::ifstream file;
    if (!readPruneList(openInput(source, file), elements, error)) {
        throw UsageError{source + ":" + std::to_string(error.line) + ": " + error.message};
    }
    return elements;
}

// Calls the helper through `call` unless the directory lists no server to
// send to, and reports the outcome with the reasons the call logged.
class Runner {
public:
    // A log that cannot be opened is the reason of every failure: the helper
    // writes nothing then.
    Runner(DebugLog& log, Report& report)
        : m_log(log), m_report(report), m_logProblem(log.problem()) {}

    bool logWritable() const { return m_logProblem.empty(); }

    // `failureLine`, when given, is a debug-log line that fails the call
    // whatever its result.
    template <typename Call>
    void run(const std::string& what, const std::string& subject, const Reach& reach, Call call,
             const char* failureLine = nullptr) {
        if (reach.nothingToSend()) {
            m_report.add(what, subject, Outcome::NothingToErase, {reach.reasonWhenNone});
            return;
        }
        m_log.mark();
        const int result = call();
        std::vector<std::string> reasons = m_log.lines();
        if (reasons.empty() && !m_logProblem.empty()) {
            reasons.push_back(m_logProblem);
        }
        const bool failed =
            result != 0 || (failureLine != nullptr && anyContains(reasons, failureLine));
        m_report.add(what, subject, failed ? Outcome::Failed : Outcome::Ok, reasons);
    }

private:
    static bool anyContains(const std::vector<std::string>& lines, const char* text) {
        return std::any_of(lines.begin(), lines.end(), [text](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    DebugLog& m_log;
    Report& m_report;
    std::string m_logProblem;
};

// "erase-backup /p": names a call in its result line.
std::string label(const std::string& command, const std::string& path) {
    std::string text = command;
    text.append(" ").append(path);
    return text;
}

void runErase(const Options& options, const std::vector<std::string>& paths,
              const EntryPoints& entry, Runner& runner) {
    const std::string& command = options.command;
    if (command == "erase-rurizoze") {
        const Reach reach = serversOfClouds({options.cloud});
        CIEraseWrapper wrapper;
        for (const auto& path : paths) {
            runner.run(label(command, path), path, reach, [&] {
                return wrapper.eraseRuRizozeCIData(options.cell, options.cellNumber,
                                                   options.client, options.appType,
                                                   options.cloud, path.c_str());
            });
        }
        return;
    }
    const bool backup = command == "erase-backup";
    const Reach reach =
        backup ? serversOfClient(options.client, options.appType) : serversOfApplication(options.app);
    std::unique_ptr<void, void (*)(void*)> handle(entry.init(), entry.deInit);
    if (!handle) {
        throw std::runtime_error("the helper could not be created (out of memory)");
    }
    for (const auto& path : paths) {
        runner.run(label(command, path), path, reach, [&] {
            return backup ? entry.eraseBackup(handle.get(), options.cell, options.client,
                                              options.appType, path.c_str(), false)
                          : entry.eraseMigrated(handle.get(), options.cell, options.app,
                                                path.c_str(), false);
        });
    }
}

void runPrune(const Options& options, std::vector<_PruneElem>& elements, Runner& runner) {
    std::set<int> clouds;
    for (const auto& element : elements) {
        clouds.insert(element.cloudId);
    }
    Reach reach = serversOfClouds(std::vector<int>(clouds.begin(), clouds.end()));
    if (elements.empty()) {
        reach.reasonWhenNone = "the prune list names no archive file: nothing to prune";
    }
    CIAFPruner pruner;
    // The helper's result says only whether a server was reached; a server
    // that could not carry the prunes out resets the session, which it logs.
    runner.run("prune of " + std::to_string(elements.size()) + " archive files", options.pruneList,
               reach, [&] { return pruner.PruneCIDocs(elements); }, kLostPrunesLine);
}

// One line of erase-lines: its kind, its ids and the rest as the path.
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
        int32_t id = 0;
        if (!tqcommon::parseInteger(word, id)) {
            return false;
        }
        line.ids.push_back(id);
    }
    in.get();  // the blank before the path
    std::getline(in, line.path);
    return line.ids.size() == kIdCount.at(line.kind) && !line.path.empty() && line.path[0] == '/';
}

// Runs one erase line on `handle`, after asking which servers it would reach.
void runEraseLine(void* handle, const EntryPoints& entry, const EraseLine& line, Runner& runner) {
    const std::vector<int>& id = line.ids;
    const char* path = line.path.c_str();
    const std::string what = label("erase-" + line.kind, line.path);
    if (line.kind == "backup") {
        runner.run(what, line.path, serversOfClient(id[1], id[2]),
                   [&] { return entry.eraseBackup(handle, id[0], id[1], id[2], path, false); });
    } else if (line.kind == "migrated") {
        runner.run(what, line.path, serversOfApplication(id[1]),
                   [&] { return entry.eraseMigrated(handle, id[0], id[1], path, false); });
    } else {
        // The handle is the wrapper that components of the product call directly.
        auto* wrapper = static_cast<CIEraseWrapper*>(handle);
        runner.run(what, line.path, serversOfClouds({id[4]}), [&] {
            return wrapper->eraseRuRizozeCIData(id[0], id[1], id[2], id[3], id[4], path);
        });
    }
}

// Erases line by line with one handle, so that its cached servers and
// sessions carry over from one erase to the next, whatever cells, clients and
// types the lines name. Each result is out before the next line is read.
void runEraseLines(const Options& options, const EntryPoints& entry, Runner& runner) {
    std::ifstream file;
    std::istream& in = openInput(options.eraseLines, file);
    std::unique_ptr<void, void (*)(void*)> handle(entry.init(), entry.deInit);
    if (!handle) {
        throw std::runtime_error("the helper could not be created (out of memory)");
    }
    EraseLine line;
    int number = 0;
    for (std::string text; std::getline(in, text);) {
        ++number;
        if (text.empty()) {
            continue;
        }
        if (!parseEraseLine(text, line)) {
            throw UsageError{options.eraseLines + ":" + std::to_string(number) +
                             ": not an erase line"};
        }
        runEraseLine(handle.get(), entry, line, runner);
        std::cout.flush();
    }
}

// The plain entry points of the helper library, which is loaded with this
// program (found through its run-time search path); they are looked up by
// name, as a host that only knows the library's C interface does.
std::optional<EntryPoints> findEntryPoints() {
    void* library = RTLD_DEFAULT;
    EntryPoints entry;
    entry.init = reinterpret_cast<void* (*)()>(dlsym(library, "initEraseCIHelper"));
    entry.deInit = reinterpret_cast<void (*)(void*)>(dlsym(library, "deInitEraseCIHelper"));
    entry.eraseBackup = reinterpret_cast<int (*)(void*, int, int, int, const char*, bool)>(
        dlsym(library, "eraseBackupData"));
    entry.eraseMigrated = reinterpret_cast<int (*)(void*, int, int, const char*, bool)>(
        dlsym(library, "eraseMigratedData"));
    if (!entry.init || !entry.deInit || !entry.eraseBackup || !entry.eraseMigrated) {
        return std::nullopt;
    }
    return entry;
}

int run(const Options& options) {
    // A bad command line or input calls nothing.
    const bool prune = options.command == "prune";
    const bool lines = options.command == "erase-lines";
    std::vector<_PruneElem> elements;
    std::vector<std::string> paths;
    if (prune) {
        elements = pruneElements(options.pruneList);
    } else if (!lines) {
        paths = pathsToErase(options);
    }
    const std::optional<EntryPoints> entry = findEntryPoints();
    if (!entry) {
        std::cerr << "tqci: the helper library lacks its entry points\n";
        return kExitNoLibrary;
    }
    DebugLog log;
    Report report(options.style);
    Runner runner(log, report);
    if (prune) {
        runPrune(options, elements, runner);
    } else if (lines) {
        runEraseLines(options, *entry, runner);
    } else {
        runErase(options, paths, *entry, runner);
    }
    if (report.anyFailed() && runner.logWritable()) {
        report.note("debug log: " + log.path());
    }
    return report.allOk() ? kExitOk : kExitFailed;
}

int parseAndRun(int argc, char** argv) {
    Options options;
    CLI::App app("Erase content-index entries and prune archive-file documents through "
                 "libTQCIHelper.so, as the product's host processes do.",
                 "tqci");
    defineCommandLine(app, options);
    return tqtool::parseAndRun(app, argc, argv, [&] {
        options.command = app.get_subcommands().front()->get_name();
        return run(options);
    });
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return parseAndRun(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "tqci: " << error.what() << '\n';
        return kExitFailed;
    }
}
