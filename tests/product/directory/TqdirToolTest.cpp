// The tqdir tool, run as a program on a temporary database.
#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "ArchiveManager.h"
#include "ChildProgram.h"
#include "DirectoryTestSupport.h"
#include "TQAppMgr.h"
#include "TqIds.h"

namespace {

using tqtest::DirectoryTest;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct ToolRun {
    int exitCode;
    std::string output;  // standard output and standard error
};

// Run tqdir with `arguments`; the database comes from TQ_DIRECTORY_DB.
ToolRun tqdir(std::initializer_list<std::string> arguments) {
    const tqtest::TemporaryFolder outputs("tqdir-run");
    std::vector<std::string> command{TQDIR_TOOL};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const tqtest::ProgramRun run = tqtest::runProgram(outputs, command);
    return ToolRun{run.status, run.out + run.err};
}

TEST_P(DirectoryTest, ToolHelpListsEveryCommandAndTheEnvironment) {
    const ToolRun run = tqdir({"--help"});
    EXPECT_EQ(kExitOk, run.exitCode);
    for (const char* command : {"init", "add-cell", "add-client", "add-app", "add-cloud",
                                "add-cloud-member", "map-client-engines", "map-app-engines", "load",
                                "show", "TQ_DIRECTORY_DB", "postgresql://"}) {
        EXPECT_NE(std::string::npos, run.output.find(command)) << command;
    }
}

TEST_P(DirectoryTest, ToolUsageErrorsNeverTouchTheDatabase) {
    for (const auto& arguments : {std::initializer_list<std::string>{},
                                  {"frobnicate"},
                                  {"add-cell", "1"},
                                  {"add-cell", "1", "2", "3"},
                                  {"add-cell", "one", "2"},
                                  {"add-cell", "1", "0x"},
                                  {"map-app-engines", "5", "7", "x"},
                                  {"--db"},
                                  {"--db", "a", "--db=b", "init"},
                                  {"add-client", "1", "1", "host:0"},
                                  {"add-client", "1", "1", "host:65536"},
                                  {"add-client", "1", "1", "[::1]:x"},
                                  {"add-client", "1", "1", "fe80::1"},
                                  {"add-client", "1", "1", "two words"}}) {
        const ToolRun run = tqdir(arguments);
        EXPECT_EQ(kExitUsage, run.exitCode) << run.output;
        EXPECT_NE(std::string::npos, run.output.find("--help")) << run.output;
    }
    EXPECT_FALSE(databaseExists());
}

TEST_P(DirectoryTest, ToolNeedsInitBeforeFilling) {
    EXPECT_EQ(kExitFailed, tqdir({"add-cell", "1", "2"}).exitCode);
    EXPECT_FALSE(databaseExists());
}

TEST_P(DirectoryTest, ToolRefusesInconsistentRecords) {
    ASSERT_EQ(kExitOk, tqdir({"init"}).exitCode);
    const ToolRun run = tqdir({"add-client", "100", "1", "host"});
    EXPECT_EQ(kExitFailed, run.exitCode);
    EXPECT_NE(std::string::npos, run.output.find("cannot add client 100: there is no cell 1"))
        << run.output;
    const ToolRun map = tqdir({"map-app-engines", "5"});
    EXPECT_NE(std::string::npos, map.output.find("there is no application 5")) << map.output;
}

TEST_P(DirectoryTest, ToolRefusesADatabaseOfAnotherKindSayingWhatToDo) {
    const std::string foreign = otherLocation("foreign");
    ASSERT_TRUE(runSql(foreign, "CREATE TABLE accounts (id INTEGER PRIMARY KEY)"));
    for (const char* command : {"init", "show"}) {
        const ToolRun run = tqdir({"--db", foreign, command});
        EXPECT_EQ(kExitFailed, run.exitCode);
        EXPECT_NE(std::string::npos, run.output.find("is not a directory database")) << run.output;
        EXPECT_NE(std::string::npos, run.output.find("'tqdir init' makes")) << run.output;
    }
    if (backend() == tqtest::Backend::Sqlite) {
        const std::string text = folder() + "/notes.txt";
        std::ofstream(text) << "not a database\n";
        EXPECT_NE(std::string::npos,
                  tqdir({"--db", text, "show"}).output.find("not a SQLite file"));
    }
}

TEST_P(DirectoryTest, ToolFillsADirectoryTheClassesRead) {
    for (const auto& arguments : {std::initializer_list<std::string>{"init"},
                                  {"add-cell", "-1", "77"},
                                  {"add-client", "18446744073709551615", "-1", "host:1"},
                                  {"add-client", "0x10000000C", "-1", "wide:2"},
                                  {"add-client", "6", "-1", "[::1]:8403"},
                                  {"add-app", "900", "-1", "-1", "13"},
                                  {"add-cloud", "7", "Seven"},
                                  {"add-cloud", "3", "Three"},
                                  {"add-cloud-member", "7", "0x10000000C", "0"},
                                  {"add-cloud-member", "7", "-1", "1"},
                                  {"map-client-engines", "-1", "13", "7", "3"},
                                  {"map-app-engines", "900", "3", "7"}}) {
        const ToolRun run = tqdir(arguments);
        ASSERT_EQ(kExitOk, run.exitCode) << *arguments.begin() << ": " << run.output;
    }
    std::string host;
    EXPECT_EQ(0, TQClient(tq::widenId(-1), tq::widenId(-1)).getMangledHostName(host, nullptr));
    EXPECT_EQ("host:1", host);
    GetContentIndexEngineListArgsDS_t args;
    args.applicationId = 900;
    GetContentIndexEngineListRetDS_t ret;
    EXPECT_EQ(2, ArchiveManagerDS().getContentIndexEngineList(&args, &ret));
    EXPECT_EQ((std::vector<int>{3, 7}), ret.engineIds);

    const ToolRun show = tqdir({"show"});
    EXPECT_EQ(kExitOk, show.exitCode);
    EXPECT_NE(std::string::npos, show.output.find("4294967308  -1  wide:2")) << show.output;
    EXPECT_NE(std::string::npos, show.output.find("7  Seven")) << show.output;
    EXPECT_NE(std::string::npos, show.output.find("  7  4294967308  0\n  7  -1  1\n"))
        << show.output;
    EXPECT_NE(std::string::npos, show.output.find("  -1  13  7\n  -1  13  3\n")) << show.output;
}

TEST_P(DirectoryTest, ToolLoadsAScriptWhollyOrNotAtAll) {
    ASSERT_EQ(kExitOk, tqdir({"init"}).exitCode);
    const std::string good = folder() + "/good.sql";
    const std::string bad = folder() + "/bad.sql";
    std::ofstream(good) << "INSERT INTO cells (id, number) VALUES (5, 55);\n";
    std::ofstream(bad) << "UPDATE cells SET number = 66;\n"
                          "INSERT INTO clients (id, cell_id) VALUES (1, 404);\n";
    EXPECT_EQ(kExitOk, tqdir({"load", good}).exitCode);
    EXPECT_EQ(kExitFailed, tqdir({"load", bad}).exitCode);
    EXPECT_EQ(kExitFailed, tqdir({"load", bad + ".missing"}).exitCode);
    unsigned long number = 0;
    EXPECT_EQ(0, TQVornCell(5).getVornCellNumber(number, nullptr));
    EXPECT_EQ(55u, number);
}

TEST_P(DirectoryTest, ToolDatabaseOptionOverridesTheEnvironment) {
    const std::string other = otherLocation("option");
    EXPECT_EQ(kExitOk, tqdir({"--db=" + other, "init"}).exitCode);
    EXPECT_TRUE(databaseExists(other));
    EXPECT_FALSE(databaseExists());
}

}  // namespace
