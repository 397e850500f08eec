// Starting the programs the benchmarks use.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "Process.h"

namespace bench {
namespace {

TEST(ProcessTest, RunProgramCapturesOutputAndReportsFailure) {
    std::string output;
    runProgram({"/bin/echo", "one", "two"}, &output);
    EXPECT_EQ(output, "one two\n");
    EXPECT_NO_THROW(runProgram({"/bin/true"}));
    EXPECT_THROW(runProgram({"/bin/false"}), std::runtime_error);
    EXPECT_THROW(runProgram({"/no/such/program"}), std::runtime_error);
}

TEST(ProcessTest, FindOnPathGivesAFullNameOrNothing) {
    const std::string shell = findOnPath("sh");
    ASSERT_FALSE(shell.empty());
    EXPECT_EQ(::access(shell.c_str(), X_OK), 0);
    EXPECT_EQ(findOnPath("no-such-program-of-the-bench"), "");
}

TEST(ProcessTest, ChildProcessIsStoppedAndReaped) {
    pid_t pid = 0;
    {
        ChildProcess sleeper({"/bin/sleep", "30"});
        pid = sleeper.pid();
        EXPECT_TRUE(sleeper.running());
    }
    EXPECT_NE(::kill(pid, 0), 0);  // gone, and no zombie left
}

TEST(ProcessTest, ChildProcessThatExitedIsNotRunning) {
    ChildProcess quick({"/bin/true"});
    for (int i = 0; i < 500 && quick.running(); ++i) ::usleep(10000);
    EXPECT_FALSE(quick.running());
}

TEST(ProcessTest, TempDirIsRemovedWithItsContents) {
    std::string path;
    {
        TempDir folder("tqci-bench-test-");
        path = folder.path();
        std::filesystem::create_directories(path + "/a/b");
        std::ofstream(path + "/a/b/file") << "x";
        EXPECT_TRUE(std::filesystem::is_directory(path));
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ProcessTest, ProgramDirectoryHoldsThisProgram) {
    const std::string folder = programDirectory();
    EXPECT_TRUE(std::filesystem::exists(folder + "/tqci_bench_tests"));
}

}  // namespace
}  // namespace bench
