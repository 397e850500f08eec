// tqci: erase content-index entries and prune archive-file documents through
// the helper library, the way a host process of the product does.

#include <dlfcn.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
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

#include "TQCIHelper.h"
#include "TqProjectVersion.h"
#include "appmgr/TqDirectory.h"
#include "common/CliSupport.h"
#include "common/Integer.h"
#include "tqci/DebugLog.h"
#include "tqci/PruneList.h"
#include "tqci/Report.h"
#include "tqci/Targets.h"

namespace {

using tqtool::UsageError;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNoLibrary = 3;

// Lines the helper writes when part of a call failed: with a result of 0,
// such a call was partial.
constexpr char kFailurePrefix[] = "Failed";
// The migrated-data erase's line for a CI server that confirmed.
constexpr char kConfirmedLine[] = "Received erase data response for application ID[";
// The lines of a cloud whose CI server could not be looked up.
constexpr char kServerOfCloudFailedLine[] = "Failed to get the client id for CI Server ID[";
constexpr char kCloudMembersFailedLine[] = "Failed to get clould client properties. cloud[";
// A cloud's CI server, as the lookup names it.
constexpr char kCiServerLine[] = "CI CDS client id is [";
// The prune's line for one archive file whose request could not be sent.
constexpr char kPruneNotSentLine[] = "Failed to send TQS_PM_CONTENTIDX_AF_PRUNE_REQ for cloud [";

constexpr char kFooter[] = R"(
Several PATHs are erased one after the other with the same helper, so its
sessions to the CI servers are reused. PATHs must be absolute.

Before calling the helper, tqci asks the directory which CI servers the call
would reach: when it lists none, nothing is sent and the call is reported as
having nothing to erase. The reasons of a failed call, the lines it wrote to
the debug log, follow its result on standard error (-q: not shown).

A call is partial when the helper's result says success but part of the work
was not done: a migrated-data erase that some CI servers did not confirm, a
prune some of whose archive files could not be sent or whose server did not
confirm the close, or a call whose debug-log lines could not all be read. A
prune list is run one cloud at a time, so that each failure is tied to the
archive files it concerns.

With --json each path or prune list gives one line on standard output:
  {"path":"/p","result":"ok|partial|failed|nothing-to-erase","reasons":["..."]}
a partial erase adds "confirmed_servers":[ID,...],"failed_servers":[ID,...],
a partial prune "failed_archive_files":[{"cell_number":N,"archive_file":A,"cloud":C},...].

A run of more than one call ends with a summary line (with --json, a last
object {"summary":{...}}). On a terminal, successes show as one progress line
that is rewritten in place; failures are printed in full.

Exit status: 0 when every call succeeded, 1 when one failed, was partial or had
nothing to erase, 2 for a usage error, 3 when the helper library lacks its
entry points.

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
    command
        .add_option("--paths-from", options.pathsFrom,
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
    tqtool::addFlag(app, "--json", options.style.json,
                    "print one JSON object per path or prune list");

    auto* backup =
        app.add_subcommand("erase-backup", "erase the index entries of backed-up data of a client");
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

// What one helper call returned and the lines it wrote.
struct HelperCall {
    int result = 1;
    CallLines lines;
};

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The numbers in square brackets in `line`, in order ("[12]", "[-3]"); other
// bracketed texts are passed over.
std::vector<int> bracketedNumbers(const std::string& line) {
    std::vector<int> numbers;
    for (size_t open = line.find('['); open != std::string::npos; open = line.find('[', open + 1)) {
        const size_t close = line.find(']', open);
        if (close == std::string::npos) {
            break;
        }
        int32_t number = 0;
        if (tqcommon::parseInteger(std::string_view(line).substr(open + 1, close - open - 1),
                                   number)) {
            numbers.push_back(number);
        }
    }
    return numbers;
}

// The `index`-th bracketed number of a line that starts with `prefix`.
bool numberOf(const std::string& line, const char* prefix, size_t index, int& number) {
    if (!startsWith(line, prefix)) {
        return false;
    }
    const std::vector<int> numbers = bracketedNumbers(line);
    if (numbers.size() <= index) {
        return false;
    }
    number = numbers[index];
    return true;
}

bool anyFailureLine(const std::vector<std::string>& lines) {
    return std::any_of(lines.begin(), lines.end(),
                       [](const std::string& line) { return startsWith(line, kFailurePrefix); });
}

// How much a result of 0 says: every server confirmed, or only that some
// server was reached (the migrated-data erase, the prune).
enum class Success { AllConfirmed, SomeReached };

// Calls the helper unless the directory lists no server to send to, and
// reports the outcome with the reasons the call logged.
class Runner {
public:
    // A log that cannot be opened is the reason of every failure: the helper
    // writes nothing then.
    Runner(DebugLog& log, Report& report)
        : m_log(log), m_report(report), m_logProblem(log.problem()) {}

    bool logWritable() const { return m_logProblem.empty(); }

    template <typename Call>
    HelperCall invoke(Call call) {
        HelperCall made;
        m_log.mark();
        made.result = call();
        made.lines = m_log.lines();
        return made;
    }

    // An erase through `call`, judged by what its result promises.
    template <typename Call>
    void runErase(const std::string& what, const std::string& subject, const Reach& reach,
                  Success success, Call call) {
        if (reach.nothingToSend()) {
            CallResult none;
            none.outcome = Outcome::NothingToErase;
            none.reasons = {reach.reasonWhenNone};
            m_report.add(what, subject, none);
            return;
        }
        m_report.add(what, subject, judgeErase(reach, success, invoke(call)));
    }

    // The reasons of a call: its lines, and why they may be missing.
    std::vector<std::string> reasonsOf(const HelperCall& made) const {
        std::vector<std::string> reasons = made.lines.texts;
        if (!made.lines.incomplete.empty()) {
            reasons.push_back(made.lines.incomplete);
        } else if (reasons.empty() && !m_logProblem.empty()) {
            reasons.push_back(m_logProblem);
        }
        return reasons;
    }

    // Whether every line of the call was read.
    bool linesComplete(const HelperCall& made) const {
        return made.lines.incomplete.empty() && m_logProblem.empty();
    }

    Report& report() { return m_report; }

private:
    CallResult judgeErase(const Reach& reach, Success success, const HelperCall& made) const {
        CallResult out;
        out.reasons = reasonsOf(made);
        if (made.result != 0) {
            if (!reach.known) {
                out.reasons.insert(out.reasons.begin(), reach.reasonWhenUnknown);
            }
            out.outcome = Outcome::Failed;
            return out;
        }
        if (success == Success::AllConfirmed ||
            (linesComplete(made) && !anyFailureLine(made.lines.texts))) {
            out.outcome = Outcome::Ok;
            return out;
        }
        // The servers the call tried: those the directory listed beforehand and
        // those its lookups named. A failure tied to no server by id (a cloud
        // whose server could not be looked up, by the call or by tqci) leaves
        // it unknown which servers missed the erase: then the call is failed.
        std::set<int> tried(reach.servers.begin(), reach.servers.end());
        std::set<int> confirmed;
        bool unplaced = !linesComplete(made) && !reach.known;
        for (const auto& line : made.lines.texts) {
            int id = 0;
            if (numberOf(line, kConfirmedLine, 1, id)) {
                confirmed.insert(id);
            } else if (numberOf(line, kCiServerLine, 0, id)) {
                tried.insert(id);
            } else if (numberOf(line, kServerOfCloudFailedLine, 0, id) ||
                       numberOf(line, kCloudMembersFailedLine, 0, id)) {
                const auto known = reach.serverOfCloud.find(id);
                if (known != reach.serverOfCloud.end() && known->second) {
                    tried.insert(*known->second);
                } else {
                    unplaced = true;
                }
            }
        }
        if (unplaced) {
            out.reasons.insert(out.reasons.begin(),
                               "some CI servers did not confirm, and not all of them are known by "
                               "id: reported failed");
            out.outcome = Outcome::Failed;
            return out;
        }
        out.outcome = Outcome::Partial;
        out.confirmedServers.assign(confirmed.begin(), confirmed.end());
        for (const int server : tried) {
            if (confirmed.count(server) == 0) {
                out.failedServers.push_back(server);
            }
        }
        return out;
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
            runner.runErase(label(command, path), path, reach, Success::AllConfirmed, [&] {
                return wrapper.eraseRuRizozeCIData(options.cell, options.cellNumber, options.client,
                                                   options.appType, options.cloud, path.c_str());
            });
        }
        return;
    }
    const bool backup = command == "erase-backup";
    const Reach reach = backup ? serversOfClient(options.client, options.appType)
                               : serversOfApplication(options.app);
    std::unique_ptr<void, void (*)(void*)> handle(entry.init(), entry.deInit);
    if (!handle) {
        throw std::runtime_error("the helper could not be created (out of memory)");
    }
    const Success success = backup ? Success::AllConfirmed : Success::SomeReached;
    for (const auto& path : paths) {
        runner.runErase(label(command, path), path, reach, success, [&] {
            return backup ? entry.eraseBackup(handle.get(), options.cell, options.client,
                                              options.appType, path.c_str(), false)
                          : entry.eraseMigrated(handle.get(), options.cell, options.app,
                                                path.c_str(), false);
        });
    }
}

// Which prunes the failure lines of one PruneCIDocs call concern. The helper
// works through the list cloud by cloud; a line names an archive file, a cloud
// or a CI server, or follows the lookup that named the server ("CI CDS client
// id is [S]"). A line that cannot be placed concerns every prune.
class PruneFailures {
public:
    explicit PruneFailures(const Reach& reach) : m_reach(reach) {}

    void read(const std::vector<std::string>& lines) {
        bool cloudLookupFailed = false;
        for (const auto& line : lines) {
            const bool lookupLine = place(line, cloudLookupFailed);
            cloudLookupFailed = lookupLine;
        }
    }

    bool concerns(const _PruneElem& element) const {
        return m_all || m_clouds.count(element.cloudId) > 0 ||
               std::any_of(m_files.begin(), m_files.end(), [&](const ArchiveFileRef& file) {
                   return file.cloud == element.cloudId &&
                          file.archiveFile == element.archiveFileId &&
                          file.cellNumber == element.vornCellNumber;
               });
    }

private:
    // Places one line; true for a failed lookup of a cloud's members.
    bool place(const std::string& line, bool afterCloudLookupFailure) {
        int id = 0;
        if (numberOf(line, kCiServerLine, 0, id)) {
            m_currentServer = id;
        } else if (!startsWith(line, kFailurePrefix) ||
                   startsWith(line, "Failed to attach the remote CI server [") ||
                   startsWith(line, "Failed to get mangled host name") ||
                   startsWith(line, "Failed to get client object")) {
            // Not a failure, or one the attach's own failure line follows.
        } else if (startsWith(line, kPruneNotSentLine)) {
            const std::vector<int> ids = bracketedNumbers(line);
            if (ids.size() < 3) {
                m_all = true;
            } else {
                m_files.push_back({ids[1], ids[2], ids[0]});
            }
        } else if (numberOf(line, kCloudMembersFailedLine, 0, id)) {
            m_clouds.insert(id);
            return true;
        } else if (line == "Failed to get the client id for dps server!!!") {
            if (!afterCloudLookupFailure) {
                cloudsWithoutServer();
            }
        } else if (numberOf(line, "Failed to get vornecell Id for client Id [", 0, id) ||
                   numberOf(line, "Failed to disconnect from document processing server [", 0,
                            id) ||
                   numberOf(
                       line,
                       "Failed to attach to document processing server for pruning. ClientId [", 0,
                       id)) {
            cloudsOf(id);
        } else if (startsWith(line,
                              "Failed to attach to document processing server for pruning.")) {
            cloudsOf(m_currentServer);
        } else {
            m_all = true;
        }
        return false;
    }

    void cloudsOf(int server) {
        bool found = false;
        for (const auto& [cloud, known] : m_reach.serverOfCloud) {
            if (known && *known == server) {
                m_clouds.insert(cloud);
                found = true;
            }
        }
        m_all = m_all || !found;
    }

    // A cloud whose lookup named no CI server: the clouds the directory lists
    // without one.
    void cloudsWithoutServer() {
        bool found = false;
        for (const auto& [cloud, known] : m_reach.serverOfCloud) {
            if (!known) {
                m_clouds.insert(cloud);
                found = true;
            }
        }
        m_all = m_all || !found;
    }

    const Reach& m_reach;
    int m_currentServer = -1;
    bool m_all = false;
    std::set<int> m_clouds;
    std::vector<ArchiveFileRef> m_files;
};

void runPrune(const Options& options, std::vector<_PruneElem>& elements, Runner& runner) {
    std::set<int> clouds;
    for (const auto& element : elements) {
        clouds.insert(element.cloudId);
    }
    Reach reach = serversOfClouds(std::vector<int>(clouds.begin(), clouds.end()));
    if (elements.empty()) {
        reach.reasonWhenNone = "the prune list names no archive file: nothing to prune";
    }
    const std::string what = "prune of " + std::to_string(elements.size()) + " archive files";
    CallResult result;
    if (reach.nothingToSend()) {
        result.outcome = Outcome::NothingToErase;
        result.reasons = {reach.reasonWhenNone};
        runner.report().add(what, options.pruneList, result);
        return;
    }
    const std::vector<_PruneElem> listed = elements;  // the helper sorts its copy
    CIAFPruner pruner;
    const HelperCall made = runner.invoke([&] { return pruner.PruneCIDocs(elements); });
    // The helper's result says only whether a server was reached: the lines
    // tell which prunes failed, among them those of a server that did not
    // confirm the close of its session.
    PruneFailures failures(reach);
    failures.read(made.lines.texts);
    const bool everyPruneInDoubt = made.result != 0 || !runner.linesComplete(made);
    for (const auto& element : listed) {
        if (everyPruneInDoubt || failures.concerns(element)) {
            result.failedArchiveFiles.push_back(
                {element.vornCellNumber, element.archiveFileId, element.cloudId});
        }
    }
    if (!result.failedArchiveFiles.empty()) {
        result.reasons = runner.reasonsOf(made);
        if (!reach.known) {
            result.reasons.insert(result.reasons.begin(), reach.reasonWhenUnknown);
        }
    }
    result.outcome = result.failedArchiveFiles.empty() ? Outcome::Ok
                     : made.result == 0                ? Outcome::Partial
                                                       : Outcome::Failed;
    runner.report().add(what, options.pruneList, result);
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
        runner.runErase(what, line.path, serversOfClient(id[1], id[2]), Success::AllConfirmed, [&] {
            return entry.eraseBackup(handle, id[0], id[1], id[2], path, false);
        });
    } else if (line.kind == "migrated") {
        runner.runErase(what, line.path, serversOfApplication(id[1]), Success::SomeReached,
                        [&] { return entry.eraseMigrated(handle, id[0], id[1], path, false); });
    } else {
        // The handle is the wrapper that components of the product call directly.
        auto* wrapper = static_cast<CIEraseWrapper*>(handle);
        runner.runErase(what, line.path, serversOfClouds({id[4]}), Success::AllConfirmed, [&] {
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
    // A directory file that is not there fails every call: say so plainly.
    const std::string directoryProblem = tqappmgr::databaseFileProblem();
    if (!directoryProblem.empty()) {
        std::cerr << "tqci: " << directoryProblem << '\n';
        return kExitFailed;
    }
    DebugLog log;
    Report report(options.style);
    report.expect(prune || lines ? 0 : paths.size());
    Runner runner(log, report);
    if (prune) {
        runPrune(options, elements, runner);
    } else if (lines) {
        runEraseLines(options, *entry, runner);
    } else {
        runErase(options, paths, *entry, runner);
    }
    report.finish();
    if (report.anyFailed() && runner.logWritable()) {
        report.note("debug log: " + log.path());
    }
    return report.allOk() ? kExitOk : kExitFailed;
}

int parseAndRun(int argc, char** argv) {
    Options options;
    CLI::App app(
        "Erase content-index entries and prune archive-file documents through "
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
