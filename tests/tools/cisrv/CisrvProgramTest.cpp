// The cisrv program: its commands, exit statuses, and the server process
// (port file, log and its reopening, health checks, idle sessions, stopping
// on SIGTERM).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "CisrvTestSupport.h"

namespace cisrv::test {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CisrvProgramTest, AddSearchAndCountShowTheIndex) {
    TemporaryFolder dir;
    const std::string index = dir.file("index.db");
    ProgramRun added =
        runCisrv(dir, {"add", "--index", index, "--path", "/mail/inbox/1", "--text", "invoice\tdue",
                       "--client", "5", "--app-type", "3", "--app", "8", "--archive-file", "70",
                       "--cloud", "4", "--cell-number", "2"});
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.out, "1\n");
    ASSERT_EQ(runCisrv(dir, {"add", "--index=" + index, "--path", "/mail/sent/2"}).out, "2\n");

    EXPECT_EQ(runCisrv(dir, {"count", "--index", index}).out, "2\n");
    EXPECT_EQ(runCisrv(dir, {"search", "--index", index, "--match", "invoice"}).out,
              "1\t/mail/inbox/1\t5\t3\t8\t70\t4\t2\tinvoice\\tdue\n");
    EXPECT_EQ(runCisrv(dir, {"search", "--index", index, "--under", "/mail/sent/"}).out,
              "2\t/mail/sent/2\t0\t0\t0\t0\t0\t0\t\n");
    EXPECT_EQ(
        runCisrv(dir, {"search", "--index", index, "--match", "sent", "--under", "/mail/inbox"})
            .out,
        "");
}

TEST(CisrvProgramTest, UsageErrorsExitTwoAndFailuresExitOne) {
    TemporaryFolder dir;
    const std::string index = dir.file("index.db");
    const ProgramRun help = runCisrv(dir, {"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* part : {"serve", "check", "TQ_TLS_CA", "TQ_ALLOW_PLAINTEXT"}) {
        EXPECT_TRUE(contains(help.out, part)) << part;
    }

    const std::vector<std::vector<std::string>> misuses = {
        {},
        {"erase", "--index", index},
        {"count"},
        {"count", "--index", index, "--path", "/x"},
        {"add", "--index", index},
        {"add", "--index", index, "--path", "/x", "--client", "12x"},
        {"add", "--index", index, "--path", "/x", "--cloud"},
        {"serve", "--index", index},
        {"serve", "--index", index, "--listen", "127.0.0.1:70000"},
        {"serve", "--index", index, "--listen", "::1:0"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--service", "no-slash"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--read-only=yes"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--max-pending", "0"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--idle-timeout", "1.5"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--lock-wait", "-1"},
        {"serve", "--index", index, "--index", index, "--listen", "127.0.0.1:0"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--read-only", "--read-only"},
        {"check", "--listen", "127.0.0.1:0"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--purge-within", "soon"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--log-paths", "maybe"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--log-paths", "hash"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--log-path-key", index},
        {"search", "--index", index, "--time-limit", "0"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--log-format", "xml"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--metrics-listen", "9464"},
        {"serve", "--index", index, "--listen", "127.0.0.1:0", "--stall-margin", "0"},
    };
    for (const auto& arguments : misuses) {
        const ProgramRun result = runCisrv(dir, arguments);
        EXPECT_EQ(result.status, 2) << testing::PrintToString(arguments);
        EXPECT_TRUE(contains(result.err, "Try 'cisrv --help'")) << result.err;
    }

    const ProgramRun missing = runCisrv(dir, {"count", "--index", dir.file("missing.db")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(contains(missing.err, "does not exist")) << missing.err;
    ASSERT_EQ(runCisrv(dir, {"add", "--index", index, "--path", "/x"}).status, 0);
    const ProgramRun badQuery = runCisrv(dir, {"search", "--index", index, "--match", "\"open"});
    EXPECT_EQ(badQuery.status, 1);
    EXPECT_TRUE(contains(badQuery.err, "search failed")) << badQuery.err;
}

// A server process on 127.0.0.1, found through its port file.
class ServeTest : public ::testing::Test {
protected:
    TemporaryFolder dir;
    std::string index = dir.file("index.db");
    std::string portFile = dir.file("port");
    std::string logFile = dir.file("server.log");

    std::unique_ptr<ChildProgram> serve(const std::vector<std::string>& options = {}) {
        std::vector<std::string> arguments{
            "serve",  "--index",         index, "--listen=127.0.0.1:0", "--port-file",
            portFile, "--log=" + logFile};
        arguments.insert(arguments.end(), options.begin(), options.end());
        auto program = std::make_unique<ChildProgram>(dir, cisrvCommand(arguments));
        EXPECT_TRUE(eventually([&] { return !readFile(portFile).empty(); }, 10s)) << program->err();
        return program;
    }
    uint16_t port() const { return static_cast<uint16_t>(std::stoi(readFile(portFile))); }
};

TEST_F(ServeTest, ServesUntilSigtermThenCommitsAndExitsZero) {
    {
        auto store = openIndex(index);
        Document fields;
        fields.clientId = 5;
        fields.appType = 3;
        fields.cellNumber = 2;
        addDocument(*store, "/srv/1", fields);
        fields.archiveFileId = 9;
        addDocument(*store, "/srv/2", fields);
    }
    auto server = serve();
    const std::string portText = readFile(portFile);
    ASSERT_EQ(portText, std::to_string(port()) + "\n");

    TestClient client;
    ASSERT_FALSE(
        client.attach(port(), tqmsg::kRemoteIndexLibrary, tqmsg::kRemoteIndexEntry, "e2e-host")
            .IsError());
    ASSERT_FALSE(client.sendPrune(9, 0, 2).IsError());
    EXPECT_EQ(client.erase({2, 5, 3, "/srv/1", tqmsg::kEraseKindData}), 1);

    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
    EXPECT_TRUE(client.seesServerClose());
    EXPECT_EQ(countDocuments(index), 0);
    const std::string log = readFile(logFile);
    for (const char* line : {"session started: peer 127.0.0.1:", "local name \"e2e-host\"",
                             "prune archive file 9 (cloud 0, cell 2): 1 documents removed",
                             "1 documents removed", "stopping: no longer accepting",
                             "session ended: server stopping", "stopped after 1 sessions"}) {
        EXPECT_TRUE(contains(log, line)) << line << "\n" << log;
    }
}

// Rotation as logrotate does it by default: rename, create anew, SIGHUP.
TEST_F(ServeTest, SighupReopensTheLogFileUnderItsName) {
    auto server = serve();
    const std::string rotated = logFile + ".1";
    ASSERT_EQ(std::rename(logFile.c_str(), rotated.c_str()), 0);
    std::ofstream(logFile).close();
    ASSERT_EQ(::chmod(logFile.c_str(), 0640), 0);
    server->signal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return contains(readFile(logFile), "info log reopened"); }));
    TestClient client;
    ASSERT_FALSE(client.attach(port()).IsError());
    EXPECT_TRUE(eventually([&] { return contains(readFile(logFile), "session started"); }));
    EXPECT_FALSE(contains(readFile(rotated), "session started"));

    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (info|warn|error) .+)");
    std::istringstream lines(readFile(rotated) + readFile(logFile));
    for (std::string text; std::getline(lines, text);) {
        EXPECT_TRUE(std::regex_match(text, line)) << text;
    }
}

TEST_F(ServeTest, CheckSucceedsOnlyAgainstALiveServerAndLeavesNoLogLine) {
    auto server = serve();
    const std::string listen = "127.0.0.1:" + std::to_string(port());
    const ProgramRun live = runCisrv(dir, {"check", "--listen", listen});
    EXPECT_EQ(live.status, 0) << live.err;
    EXPECT_EQ(live.out, listen + ": serving\n");
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
    EXPECT_FALSE(contains(readFile(logFile), "127.0.0.1:")) << readFile(logFile);

    const ProgramRun dead = runCisrv(dir, {"check", "--listen", listen, "--timeout=5"});
    EXPECT_EQ(dead.status, 1);
    EXPECT_TRUE(contains(dead.err, "no server answers at " + listen + ": connection refused"))
        << dead.err;
}

TEST_F(ServeTest, IdleSessionsAreClosedAndListeningTwiceFails) {
    auto server = serve({"--idle-timeout", "1"});
    TestClient idle;
    ASSERT_FALSE(idle.attach(port()).IsError());
    EXPECT_TRUE(idle.seesServerClose());
    EXPECT_TRUE(eventually([&] { return contains(readFile(logFile), "ended: idle for 1 s"); }));

    const ProgramRun second = runCisrv(
        dir, {"serve", "--index", index, "--listen", "127.0.0.1:" + std::to_string(port())});
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(contains(second.err, "cannot listen")) << second.err;
    server->signal(SIGINT);
    EXPECT_EQ(server->wait(), 0);
}

}  // namespace
}  // namespace cisrv::test
