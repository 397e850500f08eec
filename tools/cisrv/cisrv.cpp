// cisrv: the reference content-indexing server and the tools to fill and
// inspect its index.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <vector>

#include "TqProjectVersion.h"
#include "cisrv/CommandLine.h"
#include "cisrv/Escape.h"
#include "cisrv/Generator.h"
#include "cisrv/HealthCheck.h"
#include "cisrv/IndexStore.h"
#include "cisrv/Metrics.h"
#include "cisrv/MetricsEndpoint.h"
#include "cisrv/PathLog.h"
#include "cisrv/Purger.h"
#include "cisrv/Server.h"
#include "cisrv/ServerLog.h"
#include "cisrv/ServiceNotifier.h"
#include "common/CliSupport.h"
#include "common/ErrorResult.h"
#include "common/ProgressLine.h"

namespace {

using cisrv::CommandLine;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
// Enough for the indexes a generator changes while filling a million documents.
constexpr int64_t kGeneratorCacheKiB = int64_t{512} * 1024;

std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void requestStop(int) { g_stopRequested.store(true); }

// SIGHUP: the log file and the TLS files are opened again.
extern "C" void requestLogReopen(int) {
    cisrv::ServerLog::requestReopen();
    cisrv::TlsUpkeep::requestReload();
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    struct sigaction reopen {};
    reopen.sa_handler = requestLogReopen;
    sigemptyset(&reopen.sa_mask);
    ::sigaction(SIGHUP, &reopen, nullptr);
    // A peer or a log reader that goes away must not end the server.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

int fail(const std::string& message) {
    std::cerr << "cisrv: " << message << "\n";
    return kExitFailed;
}

// Writes "<port>\n" to a temporary file beside `file`, then renames it, so a
// reader sees either no file or the whole number.
CYxError writePortFile(const std::string& file, uint16_t port) {
    const std::string temporary = file + ".tmp." + std::to_string(::getpid());
    std::unique_ptr<FILE, int (*)(FILE*)> stream(std::fopen(temporary.c_str(), "we"), &::fclose);
    if (!stream) {
        return tqcommon::ioError("cannot write " + temporary + ": " + std::strerror(errno));
    }
    const bool written = std::fprintf(stream.get(), "%u\n", static_cast<unsigned>(port)) > 0 &&
                         std::fflush(stream.get()) == 0;
    const bool closed = std::fclose(stream.release()) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), file.c_str()) != 0) {
        const int error = errno;
        (void)std::remove(temporary.c_str());
        return tqcommon::ioError("cannot write port file " + file + ": " + std::strerror(error));
    }
    return CYxError();
}

// The operators' HTTP endpoint, when --metrics-listen asked for one.
CYxError startMetrics(const CommandLine& commandLine, cisrv::ServerLog& log,
                      std::unique_ptr<cisrv::MetricsEndpoint>& endpoint) {
    if (commandLine.metricsAddress.empty()) {
        return CYxError();
    }
    cisrv::MetricsEndpoint::Settings settings;
    settings.address = commandLine.metricsAddress;
    settings.port = commandLine.metricsPort;
    settings.indexFile = commandLine.server.indexFile;
    settings.store = commandLine.server.store;
    settings.lockWait = commandLine.server.writer.lockWait;
    settings.stopping = &g_stopRequested;
    const CYxError started = cisrv::MetricsEndpoint::start(settings, endpoint);
    if (!started.IsError()) {
        log.info("metrics, health and readiness over HTTP on " + settings.address + " port " +
                 std::to_string(endpoint->port()));
    }
    return started;
}

int serve(const CommandLine& given) {
    CommandLine commandLine = given;
    if (!commandLine.pathKeyFile.empty()) {
        const CYxError read =
            cisrv::readPathKey(commandLine.pathKeyFile, commandLine.server.pathLogging.key);
        if (read.IsError()) {
            return fail(read.AsString());
        }
    }
    std::unique_ptr<cisrv::ServerLog> log;
    if (commandLine.logFile.empty()) {
        log = cisrv::ServerLog::toStandardError();
    } else {
        const CYxError opened = cisrv::ServerLog::open(commandLine.logFile, log);
        if (opened.IsError()) {
            return fail(opened.AsString());
        }
    }
    log->setFormat(commandLine.logFormat);
    cisrv::metrics().setBuildInfo(TQ_PROJECT_VERSION);
    installSignalHandlers();
    cisrv::Server server(commandLine.server, *log);
    std::unique_ptr<cisrv::MetricsEndpoint> endpoint;
    CYxError status = server.start();
    if (!status.IsError()) {
        status = startMetrics(commandLine, *log, endpoint);
    }
    if (!status.IsError() && !commandLine.portFile.empty()) {
        status = writePortFile(commandLine.portFile, server.port());
    }
    if (status.IsError()) {
        log->error("cannot start: " + status.AsString());
        return fail(status.AsString());
    }
    const auto notifier = cisrv::ServiceNotifier::startIfNotified(
        commandLine.server.writer.lockWait + std::chrono::milliseconds(commandLine.stallMarginMs));
    if (notifier) {
        notifier->ready();
    }
    server.run(g_stopRequested);
    return kExitOk;
}

// Lines about what opening did (a migration) go to standard error.
CYxError openIndex(const CommandLine& commandLine, cisrv::OpenMode mode,
                   std::unique_ptr<cisrv::IndexStore>& store,
                   cisrv::StoreOptions options = cisrv::StoreOptions()) {
    options.note = [](const std::string& line) { std::cerr << "cisrv: " << line << "\n"; };
    CYxError status = cisrv::IndexStore::open(commandLine.indexFile, mode, options, store);
    if (!status.IsError()) {
        store->setReadLimit(std::chrono::milliseconds(commandLine.readLimitMs));
    }
    return status;
}

int add(const CommandLine& commandLine) {
    std::unique_ptr<cisrv::IndexStore> store;
    int64_t id = 0;
    CYxError status = openIndex(commandLine, cisrv::OpenMode::CreateIfMissing, store);
    if (!status.IsError()) {
        status = store->add(commandLine.document, id);
    }
    if (status.IsError()) {
        return fail(status.AsString());
    }
    std::cout << id << "\n";
    return kExitOk;
}

int generate(const CommandLine& commandLine) {
    std::unique_ptr<cisrv::IndexStore> store;
    cisrv::GeneratedIndex made;
    cisrv::StoreOptions options;
    options.cacheKiB = kGeneratorCacheKiB;
    tqtool::ProgressLine progress;
    cisrv::GeneratorOptions generator = commandLine.generator;
    generator.progress = [&progress, &generator](int64_t added) {
        progress.showCount(static_cast<size_t>(added), static_cast<size_t>(generator.documents),
                           "documents");
    };
    CYxError status = openIndex(commandLine, cisrv::OpenMode::CreateIfMissing, store, options);
    if (!status.IsError()) {
        status = cisrv::generateDocuments(*store, generator, made);
    }
    progress.clear();
    if (status.IsError()) {
        return fail(status.AsString());
    }
    std::cout << made.documents << " documents added in " << made.archiveFiles
              << " archive files of " << made.clients << " clients\n";
    return kExitOk;
}

void printDocument(const cisrv::Document& document) {
    std::cout << document.id << '\t' << cisrv::escapeControl(document.path) << '\t'
              << document.clientId << '\t' << document.appType << '\t' << document.applicationId
              << '\t' << document.archiveFileId << '\t' << document.cloudId << '\t'
              << document.cellNumber << '\t' << cisrv::escapeControl(document.text) << '\n';
}

// The matches are read first and printed once the read has ended, so that a
// reader of the output that pauses (a pager) holds no snapshot of the index.
int search(const CommandLine& commandLine) {
    std::unique_ptr<cisrv::IndexStore> store;
    std::vector<cisrv::Document> found;
    CYxError status = openIndex(commandLine, cisrv::OpenMode::MustExist, store);
    if (!status.IsError()) {
        status = store->search(commandLine.filter, [&found](const cisrv::Document& document) {
            found.push_back(document);
        });
    }
    store.reset();
    if (status.IsError()) {
        return fail(status.AsString());
    }
    for (const cisrv::Document& document : found) {
        printDocument(document);
    }
    std::cout.flush();
    return kExitOk;
}

int purge(const CommandLine& commandLine) {
    std::unique_ptr<cisrv::IndexStore> store;
    std::string summary;
    CYxError status = openIndex(commandLine, cisrv::OpenMode::MustExist, store);
    tqtool::ProgressLine progress;
    const auto step = [&progress](const std::string& what) {
        const auto seconds = static_cast<int64_t>(progress.secondsSinceStart());
        progress.show("purging: " + what + ", " + std::to_string(seconds) + " s so far");
    };
    if (!status.IsError()) {
        status = cisrv::purgeEverything(*store, summary, step);
    }
    progress.clear();
    if (status.IsError()) {
        return fail(status.AsString());
    }
    std::cout << summary << "\n";
    return kExitOk;
}

int count(const CommandLine& commandLine) {
    std::unique_ptr<cisrv::IndexStore> store;
    int64_t documents = 0;
    CYxError status = openIndex(commandLine, cisrv::OpenMode::MustExist, store);
    if (!status.IsError()) {
        status = store->count(documents);
    }
    if (status.IsError()) {
        return fail(status.AsString());
    }
    std::cout << documents << "\n";
    return kExitOk;
}

// The address a probe dials: a wildcard stands for this machine.
std::string probedAddress(const std::string& listened) {
    if (listened == "0.0.0.0") {
        return "127.0.0.1";
    }
    if (listened == "::") {
        return "::1";
    }
    return listened;
}

// The end of the server's certificate and of this end's TLS files, one a
// line; those within the warning window say so.
void printTlsDates(tqsession::TlsExpiry served, int64_t warnDays) {
    constexpr int64_t kSecondsPerDay = 86400;
    std::vector<tqsession::TlsExpiry> dates;
    const CYxError read = tqsession::tlsExpiries(tqsession::securityFromEnvironment(), dates);
    served.what = "server certificate";
    dates.insert(dates.begin(), served);
    const int64_t now = ::time(nullptr);
    for (const tqsession::TlsExpiry& date : dates) {
        const bool list = date.serial.empty();
        std::cout << date.what << (date.file.empty() ? "" : " " + date.file) << ": "
                  << (list ? "issuer " : "subject ") << date.subject
                  << (list ? "" : ", serial " + date.serial)
                  << (list ? ", next update " : ", expires ")
                  << (date.expires == 0 ? "never" : tqsession::describeExpiry(date.expires, now))
                  << (date.expires != 0 && date.expires - now <= warnDays * kSecondsPerDay
                          ? ", within " + std::to_string(warnDays) + " days"
                          : "")
                  << "\n";
    }
    if (read.IsError()) {
        std::cout << "cannot read this end's TLS files: " << read.AsString() << "\n";
    }
}

int check(const CommandLine& commandLine) {
    const tqsession::HostPort target{probedAddress(commandLine.server.listenAddress),
                                     commandLine.server.listenPort};
    const std::string where = target.host.find(':') != std::string::npos
                                  ? "[" + target.host + "]:" + std::to_string(target.port)
                                  : target.host + ":" + std::to_string(target.port);
    bool secure = false;
    tqsession::TlsExpiry served;
    const CYxError status = cisrv::checkServer(target, commandLine.checkTimeoutMs, secure, served);
    if (status.IsError()) {
        return fail("no server answers at " + where + ": " + status.AsString());
    }
    std::cout << where << ": serving" << (secure ? " (TLS)" : "") << "\n";
    if (secure) {
        printTlsDates(served, commandLine.server.tlsWarnDays);
    }
    return kExitOk;
}

int runCommand(const CommandLine& commandLine) {
    switch (commandLine.command) {
        case cisrv::Command::Serve: return serve(commandLine);
        case cisrv::Command::Check: return check(commandLine);
        case cisrv::Command::Add: return add(commandLine);
        case cisrv::Command::Generate: return generate(commandLine);
        case cisrv::Command::Search: return search(commandLine);
        case cisrv::Command::Count: return count(commandLine);
        case cisrv::Command::Purge: return purge(commandLine);
    }
    return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        CLI::App app("The reference content-indexing server and its index tools.", "cisrv");
        app.set_version_flag("--version", "cisrv " TQ_PROJECT_VERSION);
        CommandLine commandLine;
        cisrv::defineCommandLine(app, commandLine);
        return tqtool::parseAndRun(app, argc, argv, [&] {
            cisrv::finishCommandLine(app, commandLine);
            return runCommand(commandLine);
        });
    } catch (const std::exception& failure) {
        return fail(failure.what());
    }
}
