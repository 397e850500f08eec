// The debug log: which file it writes, what a line looks like, and that lines
// stay whole whoever writes them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "EvDebug.h"
#include "ScopedEnvironment.h"
#include "TemporaryFolder.h"

namespace {

using tqtest::ScopedEnvironment;
using tqtest::TemporaryFolder;

constexpr unsigned int kCIHelperModule = 0x27C30418;
constexpr long long kEverything = -123456;
constexpr char kCutMarker[] = " [line cut]";
constexpr size_t kMaxLineText = 4 * 1024 * 1024;

struct Line {
    long pid = 0;
    long tid = 0;
    std::string clock;  // "MM/DD HH:MM:SS"
    std::string text;
};

// Split a line into its prefix fields and text; false when it has no prefix.
bool parseLine(const std::string& line, Line& parsed) {
    static const std::regex prefix(
        R"(^(\d+) (\d+) ((\d\d)/(\d\d) (\d\d):(\d\d):(\d\d))\.(\d{3}) )");
    std::smatch match;
    const std::string head = line.substr(0, 64);
    if (!std::regex_search(head, match, prefix)) {
        return false;
    }
    parsed.pid = std::stol(match[1]);
    parsed.tid = std::stol(match[2]);
    parsed.clock = match[3];
    parsed.text = line.substr(static_cast<size_t>(match.length(0)));
    return true;
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The text of every line, failing the test for a line without a prefix.
std::vector<std::string> readTexts(const std::string& path) {
    std::vector<std::string> texts;
    for (const std::string& line : readLines(path)) {
        Line parsed;
        EXPECT_TRUE(parseLine(line, parsed)) << line.substr(0, 80);
        texts.push_back(parsed.text);
    }
    return texts;
}

// time() may lag the real-time clock by a tick; the log reads the clock itself.
std::time_t clockSeconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

std::string localClock(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[sizeof "MM/DD HH:MM:SS"];
    std::strftime(text, sizeof text, "%m/%d %H:%M:%S", &local);
    return text;
}

int descriptorsOpenOn(const std::string& path) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == path) {
            ++count;
        }
    }
    return count;
}

class EvDebugTest : public ::testing::Test {
protected:
    std::string pathOf(const std::string& fileName) const {
        return m_folder.path() + "/" + fileName;
    }
    const std::string& folder() const { return m_folder.path(); }

    // A log of the CI helper module, set up for everything.
    std::unique_ptr<EvDebug> helperLog() {
        auto log = std::make_unique<EvDebug>(nullptr);
        EXPECT_TRUE(log->initialize(kCIHelperModule, kEverything, false, ""));
        return log;
    }

private:
    TemporaryFolder m_folder;
    ScopedEnvironment m_logDirectory{"TQ_LOG_DIR", m_folder.path()};
};

// --- choice of the file ------------------------------------------------------

TEST_F(EvDebugTest, ModuleIdAndNameChooseTheFile) {
    struct Case {
        unsigned int moduleId;
        const char* name;
        const char* fileName;
    };
    for (const Case& c :
         {Case{kCIHelperModule, "", "CIHelper.log"}, Case{0x1234, "", "module_00001234.log"},
          Case{kCIHelperModule, "custom", "custom.log"}, Case{7, "already.log", "already.log"}}) {
        EvDebug log(nullptr);
        ASSERT_TRUE(log.initialize(c.moduleId, kEverything, false, c.name)) << c.fileName;
        log.debug("to %s", c.fileName);
        EXPECT_EQ(std::vector<std::string>{std::string("to ") + c.fileName},
                  readTexts(pathOf(c.fileName)));
    }
}

TEST_F(EvDebugTest, NameMustBeAPlainFileName) {
    for (const char* name : {"../escape", "sub/name", ".", ".."}) {
        EvDebug log(nullptr);
        EXPECT_FALSE(log.initialize(kCIHelperModule, kEverything, false, name)) << name;
    }
}

TEST_F(EvDebugTest, MissingLogFolderIsCreated) {
    const std::string nested = folder() + "/a/b";
    ScopedEnvironment logDirectory("TQ_LOG_DIR", nested);
    helperLog()->debug("created");
    EXPECT_EQ(std::vector<std::string>{"created"}, readTexts(nested + "/CIHelper.log"));
}

TEST_F(EvDebugTest, FolderThatCannotBeCreatedFailsInitialize) {
    const std::string regularFile = pathOf("plain-file");
    std::ofstream(regularFile) << "not a folder";
    // A path under a regular file cannot be created, even by root.
    ScopedEnvironment logDirectory("TQ_LOG_DIR", regularFile + "/logs");
    EvDebug log(nullptr);
    EXPECT_FALSE(log.initialize(kCIHelperModule, kEverything, false, ""));
    log.debug("nowhere");
}

TEST_F(EvDebugTest, FailedInitializeStopsWritingToThePreviousFile) {
    EvDebug log(nullptr);
    ASSERT_TRUE(log.initialize(kCIHelperModule, kEverything, false, ""));
    log.debug("before");
    EXPECT_FALSE(log.initialize(kCIHelperModule, kEverything, false, "bad/name"));
    log.debug("after");
    EXPECT_EQ(std::vector<std::string>{"before"}, readTexts(pathOf("CIHelper.log")));
}

// Only a regular file is a log file, and looking at the path never blocks: a
// FIFO nobody reads would otherwise hold initialize() in open() for good.
TEST_F(EvDebugTest, PathThatIsNoRegularFileFailsInitializeAtOnce) {
    const std::string path = pathOf("CIHelper.log");
    ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
    EvDebug withoutReader(nullptr);
    EXPECT_FALSE(withoutReader.initialize(kCIHelperModule, kEverything, false, ""));

    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EvDebug withReader(nullptr);
    EXPECT_FALSE(withReader.initialize(kCIHelperModule, kEverything, false, ""));
    ::close(reader);

    std::filesystem::create_symlink("/dev/null", pathOf("device.log"));
    std::filesystem::create_directory(pathOf("folder.log"));
    for (const char* name : {"device", "folder"}) {
        EvDebug log(nullptr);
        EXPECT_FALSE(log.initialize(kCIHelperModule, kEverything, false, name)) << name;
    }
}

// --- what is written ---------------------------------------------------------

TEST_F(EvDebugTest, NothingIsWrittenBeforeInitialize) {
    EvDebug log(nullptr);
    log.debug("too early %d", 1);
    EXPECT_TRUE(std::filesystem::is_empty(folder()));
    ASSERT_TRUE(log.initialize(kCIHelperModule, kEverything, false, ""));
    log.debug("in time");
    EXPECT_EQ(std::vector<std::string>{"in time"}, readTexts(pathOf("CIHelper.log")));
}

TEST_F(EvDebugTest, LineStartsWithPidThreadAndLocalTime) {
    const std::time_t before = clockSeconds();
    helperLog()->debug("stamped");
    const std::time_t after = clockSeconds();
    const std::vector<std::string> lines = readLines(pathOf("CIHelper.log"));
    ASSERT_EQ(1u, lines.size());
    Line line;
    ASSERT_TRUE(parseLine(lines[0], line)) << lines[0];
    EXPECT_EQ(getpid(), line.pid);
    EXPECT_EQ(gettid(), line.tid);
    EXPECT_GE(line.clock, localClock(before));
    EXPECT_LE(line.clock, localClock(after));
    EXPECT_EQ("stamped", line.text);
}

TEST_F(EvDebugTest, FormatsPrintfStyleAndTakesPercentSignsOfArgumentsAsData) {
    const auto log = helperLog();
    log->debug("[%d] [%s] [%5.2f] [%%]", 42, "text", 3.14159);
    log->debug("%s", "path/100%d/%s%n");
    EXPECT_EQ((std::vector<std::string>{"[42] [text] [ 3.14] [%]", "path/100%d/%s%n"}),
              readTexts(pathOf("CIHelper.log")));
}

TEST_F(EvDebugTest, LinesAroundTheStackBufferSizeAreWrittenWhole) {
    const auto log = helperLog();
    std::vector<std::string> written;
    for (size_t length = 3950; length <= 4150; ++length) {
        written.push_back(std::string(length, static_cast<char>('a' + length % 26)));
        log->debug("%s", written.back().c_str());
    }
    EXPECT_EQ(written, readTexts(pathOf("CIHelper.log")));
}

TEST_F(EvDebugTest, MegabyteLineIsWrittenWhole) {
    const std::string text(1024 * 1024, 'm');
    const auto log = helperLog();
    log->debug("%s", text.c_str());
    log->debug("next");
    EXPECT_EQ((std::vector<std::string>{text, "next"}), readTexts(pathOf("CIHelper.log")));
}

TEST_F(EvDebugTest, OverlongLineIsCutWithAMarker) {
    const std::string text(kMaxLineText + 1000, 'o');
    const auto log = helperLog();
    log->debug("%s", text.c_str());
    log->debug("next");
    const std::vector<std::string> texts = readTexts(pathOf("CIHelper.log"));
    ASSERT_EQ(2u, texts.size());
    EXPECT_EQ(text.substr(0, kMaxLineText) + kCutMarker, texts[0]);
    EXPECT_EQ("next", texts[1]);
}

// One call writes one physical line: control characters are escaped, so no
// text can forge a line of its own; printable text and UTF-8 pass unchanged.
TEST_F(EvDebugTest, ControlCharactersAreEscapedAndOtherTextKept) {
    const auto log = helperLog();
    log->debug("path [%s]", "/a\n12/01 00:00:00.000 forged\r\t\x01\x1b[2J\x7f");
    log->debug("%s", "caf\xc3\xa9 \xe2\x82\xac 100%% \\n \x80");
    const std::string longText(kMaxLineText / 2 + 1, '\n');
    log->debug("%s", longText.c_str());
    log->debug("next");
    const std::vector<std::string> texts = readTexts(pathOf("CIHelper.log"));
    ASSERT_EQ(4u, texts.size());
    EXPECT_EQ("path [/a\\n12/01 00:00:00.000 forged\\r\\t\\x01\\x1B[2J\\x7F]", texts[0]);
    EXPECT_EQ("caf\xc3\xa9 \xe2\x82\xac 100%% \\n \x80", texts[1]);
    std::string cut;
    for (size_t i = 0; i < kMaxLineText / 2; ++i) {
        cut += "\\n";
    }
    EXPECT_EQ(cut + kCutMarker, texts[2]);
    EXPECT_EQ("next", texts[3]);
}

TEST_F(EvDebugTest, LevelZeroKeepsTheLogSilent) {
    EvDebug log(nullptr);
    EXPECT_TRUE(log.initialize(kCIHelperModule, 0, false, ""));
    log.debug("silent");
    EXPECT_TRUE(readLines(pathOf("CIHelper.log")).empty());
}

TEST_F(EvDebugTest, ConsoleLogMirrorsLinesToStandardError) {
    const std::string captured = pathOf("stderr.txt");
    const int savedStderr = dup(STDERR_FILENO);
    {
        const int capture = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(capture, 0);
        dup2(capture, STDERR_FILENO);
        ::close(capture);
        EvDebug log(nullptr);
        EXPECT_TRUE(log.initialize(kCIHelperModule, kEverything, true, ""));
        log.debug("mirrored");
        dup2(savedStderr, STDERR_FILENO);
        ::close(savedStderr);
    }
    EXPECT_EQ(readLines(pathOf("CIHelper.log")), readLines(captured));
    EXPECT_EQ(std::vector<std::string>{"mirrored"}, readTexts(captured));
}

// --- sharing -----------------------------------------------------------------

// Every helper handle sets up a log: the file stays open for the next one.
TEST_F(EvDebugTest, LogsOfOneFileShareOneDescriptorThatStaysOpenForTheNext) {
    const std::string path = pathOf("CIHelper.log");
    auto first = helperLog();
    auto second = helperLog();
    first->debug("first");
    second->debug("second");
    EXPECT_EQ(1, descriptorsOpenOn(path));
    first.reset();
    second.reset();
    EXPECT_EQ(1, descriptorsOpenOn(path));
    helperLog()->debug("next");
    EXPECT_EQ(1, descriptorsOpenOn(path));
    EXPECT_EQ((std::vector<std::string>{"first", "second", "next"}), readTexts(path));
}

// A log set up after its file was renamed or removed writes to a new file of
// that name; a log set up before keeps the file it has, which is closed once
// the last such log lets go.
TEST_F(EvDebugTest, RotatedOrRemovedFileIsOpenedAfreshByTheNextLog) {
    const std::string path = pathOf("CIHelper.log");
    const std::string rotated = pathOf("CIHelper.log.1");
    auto before = helperLog();
    before->debug("before");
    std::filesystem::rename(path, rotated);
    helperLog()->debug("after rename");
    before->debug("still before");
    EXPECT_EQ((std::vector<std::string>{"before", "still before"}), readTexts(rotated));
    before.reset();
    EXPECT_EQ(0, descriptorsOpenOn(rotated));

    std::filesystem::remove(path);
    helperLog()->debug("after removal");
    EXPECT_EQ(std::vector<std::string>{"after removal"}, readTexts(path));
    EXPECT_EQ(1, descriptorsOpenOn(path));
}

TEST_F(EvDebugTest, ConcurrentProcessesAndThreadsNeverInterleaveLines) {
    constexpr int kThreads = 2;
    constexpr int kLinesPerThread = 300;
    constexpr size_t kPayload = 3000;  // beyond PIPE_BUF, and not a stack-buffer multiple
    // Each writer repeats a letter of its own: 'A'.. in the parent, 'a'.. in the child.
    const auto writeLines = [&](char firstLetter) {
        const auto log = helperLog();
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const std::string payload(kPayload, static_cast<char>(firstLetter + t));
                for (int i = 0; i < kLinesPerThread; ++i) {
                    log->debug("%s", payload.c_str());
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    };
    // The forking thread logs on both sides of fork(): the child's line must
    // carry the child's pid although that thread's ids were known before.
    helperLog()->debug("main-parent");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        helperLog()->debug("main-child");
        writeLines('a');
        _exit(0);
    }
    writeLines('A');
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::map<char, int> linesPerLetter;
    std::map<char, long> pidOfLetter;
    std::map<std::string, long> pidOfMainLine;
    for (const std::string& raw : readLines(pathOf("CIHelper.log"))) {
        Line line;
        ASSERT_TRUE(parseLine(raw, line)) << raw.substr(0, 80);
        if (line.text.rfind("main-", 0) == 0) {
            pidOfMainLine[line.text] = line.pid;
            continue;
        }
        ASSERT_EQ(kPayload, line.text.size());
        ASSERT_EQ(std::string(kPayload, line.text[0]), line.text);
        ++linesPerLetter[line.text[0]];
        pidOfLetter[line.text[0]] = line.pid;
    }
    EXPECT_EQ((std::map<char, int>{{'A', kLinesPerThread},
                                   {'B', kLinesPerThread},
                                   {'a', kLinesPerThread},
                                   {'b', kLinesPerThread}}),
              linesPerLetter);
    EXPECT_EQ(getpid(), pidOfLetter['A']);
    EXPECT_EQ(child, pidOfLetter['a']);
    EXPECT_EQ((std::map<std::string, long>{{"main-parent", getpid()}, {"main-child", child}}),
              pidOfMainLine);
}

}  // namespace
