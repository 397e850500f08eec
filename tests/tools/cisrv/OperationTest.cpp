// What operators watch: the metrics and health endpoint, systemd's
// notifications and watchdog, and the JSON log format.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "CisrvTestSupport.h"
#include "TqProjectVersion.h"
#include "cisrv/Metrics.h"
#include "cisrv/ServiceNotifier.h"

namespace cisrv::test {
namespace {

struct HttpReply {
    int status = 0;
    std::string body;
};

// One GET over loopback; status 0 when nothing answered.
HttpReply httpGet(uint16_t port, const std::string& path) {
    HttpReply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return reply;
    }
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[4096];
    for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        answer.append(buffer, got);
    }
    ::close(fd);
    const size_t split = answer.find("\r\n\r\n");
    if (answer.compare(0, 9, "HTTP/1.1 ") != 0 || split == std::string::npos) {
        return reply;
    }
    reply.status = std::stoi(answer.substr(9, 3));
    reply.body = answer.substr(split + 4);
    return reply;
}

// The value of one series of an exposition ("name{labels}"), -1 when absent.
double valueOf(const std::string& exposition, const std::string& series) {
    std::istringstream lines(exposition);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, series.size() + 1, series + " ") == 0) {
            return std::stod(line.substr(series.size() + 1));
        }
    }
    return -1;
}

// A datagram socket standing in for systemd's NOTIFY_SOCKET.
class NotifyListener {
public:
    explicit NotifyListener(const std::string& path) : m_path(path) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const timeval wait{0, 100'000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~NotifyListener() { ::close(m_fd); }
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    // The messages that arrive within `limit`.
    std::vector<std::string> receiveFor(std::chrono::milliseconds limit) {
        std::vector<std::string> messages;
        const auto end = std::chrono::steady_clock::now() + limit;
        char buffer[4096];
        while (std::chrono::steady_clock::now() < end) {
            const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (got > 0) {
                messages.emplace_back(buffer, static_cast<size_t>(got));
            }
        }
        return messages;
    }

private:
    std::string m_path;
    int m_fd = -1;
};

size_t countContaining(const std::vector<std::string>& messages, const std::string& part) {
    size_t count = 0;
    for (const std::string& message : messages) {
        count += message.find(part) != std::string::npos;
    }
    return count;
}

class OperationTest : public ::testing::Test {
protected:
    TemporaryFolder dir;
    std::string index = dir.file("index.db");
    std::string portFile = dir.file("port");
    std::string logFile = dir.file("server.log");

    std::unique_ptr<ChildProgram> serve(const std::vector<std::string>& options,
                                        const std::vector<std::string>& environment = {}) {
        std::vector<std::string> arguments{
            "serve",  "--index",         index, "--listen=127.0.0.1:0", "--port-file",
            portFile, "--log=" + logFile};
        arguments.insert(arguments.end(), options.begin(), options.end());
        auto program = std::make_unique<ChildProgram>(dir, cisrvCommand(arguments), environment);
        EXPECT_TRUE(eventually([&] { return !readFile(portFile).empty(); }, 10s)) << program->err();
        return program;
    }
    uint16_t port() const { return static_cast<uint16_t>(std::stoi(readFile(portFile))); }
    uint16_t metricsPort() const {
        std::smatch found;
        const std::string log = readFile(logFile);
        if (!std::regex_search(log, found, std::regex("over HTTP on 127.0.0.1 port ([0-9]+)"))) {
            return 0;
        }
        return static_cast<uint16_t>(std::stoi(found[1]));
    }
};

TEST_F(OperationTest, MetricsCountWhatTheServerDid) {
    {
        auto store = openIndex(index);
        Document fields;
        fields.clientId = 5;
        fields.appType = 3;
        fields.cellNumber = 2;
        addDocument(*store, "/srv/a/1", fields);
        addDocument(*store, "/srv/a/2", fields);
        fields.archiveFileId = 9;
        addDocument(*store, "/srv/b", fields);
        addDocument(*store, "/srv/c", fields);
    }
    auto server = serve({"--metrics-listen", "127.0.0.1:0"});
    const uint16_t metrics = metricsPort();
    ASSERT_NE(metrics, 0) << readFile(logFile);

    TestClient client;
    ASSERT_FALSE(client.attach(port()).IsError());
    EXPECT_EQ(client.erase({2, 5, 3, "/srv/a", tqmsg::kEraseKindData}), 1);
    EXPECT_EQ(client.erase({2, 5, 3, "/x", 7}), 0);  // unknown erase kind
    ASSERT_FALSE(client.sendPrune(9, 0, 2).IsError());
    TestClient stranger;
    EXPECT_TRUE(stranger.attach(port(), "other", "service").IsError());

    std::string text;
    ASSERT_TRUE(eventually([&] {
        text = httpGet(metrics, "/metrics").body;
        return valueOf(text, "cisrv_pruned_documents_total") == 2;
    })) << text;
    const std::map<std::string, double> expected = {
        {"cisrv_erase_requests_total{result=\"done\"}", 1},
        {"cisrv_erase_requests_total{result=\"refused\"}", 1},
        {"cisrv_erased_documents_total", 2},
        {"cisrv_prune_requests_total{result=\"done\"}", 1},
        {"cisrv_lost_prunes_total", 0},
        {"cisrv_refused_connections_total{reason=\"service\"}", 1},
        {"cisrv_sessions", 1},
        {"cisrv_writer_queue_depth", 0},
        {"cisrv_writer_batch_changes_count", 2},
        {"cisrv_writer_commit_duration_seconds_count", 2},
        {"cisrv_build_info{version=\"" TQ_PROJECT_VERSION "\"}", 1},
    };
    for (const auto& [series, value] : expected) {
        EXPECT_EQ(valueOf(text, series), value) << series;
    }
    ASSERT_TRUE(eventually(
        [&] {  // counted at most every 5 s
            text = httpGet(metrics, "/metrics").body;
            return valueOf(text, "cisrv_index_documents") == 0;
        },
        8s))
        << text;
    EXPECT_GT(valueOf(text, "cisrv_last_commit_timestamp_seconds"), 1.7e9);

    EXPECT_EQ(httpGet(metrics, "/healthz").status, 200);
    EXPECT_EQ(httpGet(metrics, "/readyz").status, 200);
    EXPECT_EQ(httpGet(metrics, "/index.db").status, 404);

    // promtool comes with the Prometheus server package (scripts/install-deps.sh
    // installs it); it checks the exposition's form.
    if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
        std::ofstream(dir.file("scrape.txt")) << text;
        EXPECT_EQ(std::system(("promtool check metrics < " + dir.file("scrape.txt")).c_str()), 0);
    }
}

TEST_F(OperationTest, ReadyzFailsWhileTheIndexIsLockedPastTheLockWaitAndRecovers) {
    auto server = serve({"--metrics-listen", "127.0.0.1:0", "--lock-wait", "1"});
    const uint16_t metrics = metricsPort();
    TestClient client;
    ASSERT_FALSE(client.attach(port()).IsError());
    {
        LockHolder holder(index);
        std::thread eraser([&] { EXPECT_EQ(client.erase({1, 1, 1, "/a", 0}), 0); });
        EXPECT_TRUE(eventually([&] { return httpGet(metrics, "/readyz").status == 503; }));
        eraser.join();
        const HttpReply failed = httpGet(metrics, "/readyz");
        EXPECT_EQ(failed.status, 503);
        EXPECT_NE(failed.body.find("last batch"), std::string::npos) << failed.body;
    }
    EXPECT_EQ(httpGet(metrics, "/readyz").status, 503);  // until a commit shows the way is clear
    EXPECT_EQ(client.erase({1, 1, 1, "/a", 0}), 1);
    EXPECT_EQ(httpGet(metrics, "/readyz").status, 200);
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
}

TEST_F(OperationTest, UnderSystemdReadyComesOnceListeningAndPingsGoOnWhileTheWriterWorks) {
    const std::string socket = dir.file("notify");
    NotifyListener listener(socket);
    auto server = serve({"--lock-wait", "1"}, {"NOTIFY_SOCKET=" + socket, "WATCHDOG_USEC=400000"});
    std::vector<std::string> messages = listener.receiveFor(1s);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front().find("READY=1"), 0u) << messages.front();
    TestClient client;
    EXPECT_FALSE(client.attach(port()).IsError());
    EXPECT_GE(countContaining(messages, "WATCHDOG=1"), 2u);  // idle is healthy

    // Batches that fail on a lock held past the lock wait are still progress.
    LockHolder holder(index);
    std::thread eraser([&] {
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(client.erase({1, 1, 1, "/a", 0}), 0);
        }
    });
    messages = listener.receiveFor(2s);
    eraser.join();
    EXPECT_GE(countContaining(messages, "WATCHDOG=1"), 3u);
    EXPECT_GE(countContaining(messages, "1 sessions open"), 1u);
    holder.release();
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
    EXPECT_GE(countContaining(listener.receiveFor(300ms), "STOPPING=1"), 1u);
}

// A writer on one piece of work past the bound stops the pings until it is done.
TEST(ServiceNotifierTest, PingsStopWhileTheWriterIsStuckAndResumeAfter) {
    TemporaryFolder dir;
    const std::string socket = dir.file("notify");
    NotifyListener listener(socket);
    ASSERT_EQ(::setenv("NOTIFY_SOCKET", socket.c_str(), 1), 0);
    ASSERT_EQ(::setenv("WATCHDOG_USEC", "100000", 1), 0);
    auto notifier = ServiceNotifier::startIfNotified(300ms);
    ASSERT_TRUE(notifier);
    notifier->ready();
    EXPECT_GE(countContaining(listener.receiveFor(300ms), "WATCHDOG=1"), 3u);

    metrics().writerWorking();
    (void)listener.receiveFor(400ms);
    std::vector<std::string> stuck = listener.receiveFor(500ms);
    EXPECT_EQ(countContaining(stuck, "WATCHDOG=1"), 0u);
    EXPECT_GE(countContaining(stuck, "STATUS=index writer stalled"), 2u);

    metrics().writerIdle();
    EXPECT_GE(countContaining(listener.receiveFor(300ms), "WATCHDOG=1"), 2u);
    notifier.reset();
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(ServiceNotifier::startIfNotified(300ms));
}

// The shipped alert rules, where promtool is installed (see above).
TEST(AlertRulesTest, PromtoolAcceptsThem) {
    if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no promtool";
    }
    EXPECT_EQ(std::system("promtool check rules " CISRV_ALERT_RULES), 0);
}

// Runs `command` with its standard error on a pseudo-terminal and returns
// what the terminal received.
std::string stderrOnTerminal(const std::vector<std::string>& command) {
    int terminal = -1;
    int child = -1;
    if (::openpty(&terminal, &child, nullptr, nullptr, nullptr) != 0) {
        return "no pty";
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(child, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& argument : command) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(child);
    std::string seen;
    char buffer[4096];
    for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;) {
        seen.append(buffer, static_cast<size_t>(got));
    }
    ::close(terminal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return seen;
}

TEST(ProgressLineTest, GenerateAndPurgeShowProgressOnlyOnATerminal) {
    TemporaryFolder dir;
    const std::string index = dir.file("index.db");
    const std::string generated = stderrOnTerminal(cisrvCommand(
        {"generate", "--index", index, "--documents", "3000", "--archive-file-size", "1000"}));
    EXPECT_NE(generated.find("\r\x1b[K0/3000 documents, "), std::string::npos) << generated;
    EXPECT_NE(generated.rfind("\r\x1b[K"), generated.find("\r\x1b[K"));  // and cleared
    const std::string purged = stderrOnTerminal(cisrvCommand({"purge", "--index", index}));
    EXPECT_NE(purged.find("purging: full-text shard 1 of 1"), std::string::npos) << purged;

    const ProgramRun offTerminal =
        runCisrv(dir, {"generate", "--index", index, "--documents", "10", "--seed", "2"});
    EXPECT_EQ(offTerminal.status, 0);
    EXPECT_EQ(offTerminal.err, "");
}

TEST(ServerLogFormatTest, TextStaysAsItWasAndJsonCarriesSessionEventAndText) {
    EXPECT_EQ(formatLine(ServerLog::Format::Text, "T", ServerLog::Level::Warn, "session 7: x: y"),
              "T warn session 7: x: y\n");
    EXPECT_EQ(formatLine(ServerLog::Format::Json, "T", ServerLog::Level::Info,
                         "session 12: erase \"/a\" (client 1): 2 documents removed"),
              "{\"time\":\"T\",\"level\":\"info\",\"session\":12,\"event\":\"erase\","
              "\"fields\":{\"text\":\"erase \\\"/a\\\" (client 1): 2 documents removed\"}}\n");
    const std::map<std::string, std::string> events = {
        {"session started: peer 1", "session started"},
        {"serving index /srv/ci.db on", "serving index"},
        {"stopping: no longer accepting", "stopping"},
        {"purge after start: 0 of 1", "purge after"},
        {"refused 127.0.0.1:1", "refused"},
        {"session x: not a session", "session x"},
        {"\xff broken", ""},
    };
    for (const auto& [message, event] : events) {
        const std::string line =
            formatLine(ServerLog::Format::Json, "T", ServerLog::Level::Error, message);
        EXPECT_NE(line.find("\"event\":\"" + event + "\""), std::string::npos) << line;
        EXPECT_NE(line.find("\"session\":null"), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace cisrv::test
