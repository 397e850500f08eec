// Platform information from the environment.
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>

#include "ScopedEnvironment.h"
#include "TQPlatformInfo.h"

namespace {

using tqtest::ScopedEnvironment;

constexpr char kFocusEnv[] = "TQ_FOCUS";
constexpr char kPlatformTypeEnv[] = "TQ_PLATFORM_TYPE";
constexpr char kClientNameEnv[] = "TQ_VORNSERVER_CLIENT_NAME";

TEST(PlatformInfo, FocusComesFromTheEnvironmentWithADefault) {
    {
        ScopedEnvironment focus(kFocusEnv, std::nullopt);
        EXPECT_STREQ("Instance001", TQPI_Focus::getFocus());
    }
    {
        ScopedEnvironment focus(kFocusEnv, std::string("Instance007"));
        EXPECT_STREQ("Instance007", TQPI_Focus::getFocus());
    }
}

TEST(PlatformInfo, PlatformTypeIsAnIntegerOrZero) {
    struct Case {
        std::optional<std::string> value;
        unsigned int type;
    };
    for (const Case& c : {Case{std::nullopt, 0}, Case{std::string("1"), 1},
                          Case{std::string("0x3"), 3}, Case{std::string("abc"), 0},
                          Case{std::string("5x"), 0}, Case{std::string("4294967296"), 0},
                          Case{std::string(""), 0}, Case{std::string("010"), 10}}) {
        ScopedEnvironment type(kPlatformTypeEnv, c.value);
        EXPECT_EQ(c.type, TQPlatformInfo().getTQPlatformType()) << c.value.value_or("(unset)");
    }
}

TEST(PlatformInfo, SettingOfTheFocusedInstanceWinsOverTheMachineWideOne) {
    ScopedEnvironment machineWide(kPlatformTypeEnv, std::string("0"));
    ScopedEnvironment ownType(std::string(kPlatformTypeEnv) + "_Instance002", std::string("1"));
    ScopedEnvironment ownName(std::string(kClientNameEnv) + "_Instance002", std::string("vs2"));
    ScopedEnvironment focus(kFocusEnv, std::nullopt);
    TQPlatformInfo info;
    EXPECT_EQ(0u, info.getTQPlatformType());
    info.setFocus("Instance002");
    EXPECT_EQ(1u, info.getTQPlatformType());
    char name[16] = {};
    EXPECT_EQ(0, info.getVornServerClientName(name, sizeof name));
    EXPECT_STREQ("vs2", name);
}

TEST(PlatformInfo, VornServerClientNameIsCopiedAndAlwaysTerminated) {
    ScopedEnvironment name(kClientNameEnv, std::string("vornserver-client"));
    TQPlatformInfo info;
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(0, info.getVornServerClientName(buffer, sizeof buffer));
    EXPECT_STREQ("vornserver-client", buffer);

    char small[5];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(0, info.getVornServerClientName(small, sizeof small));
    EXPECT_STREQ("vorn", small);
}

TEST(PlatformInfo, MissingVornServerClientNameGivesAnEmptyStringAndFailure) {
    ScopedEnvironment name(kClientNameEnv, std::nullopt);
    char buffer[8] = "stale";
    EXPECT_NE(0, TQPlatformInfo().getVornServerClientName(buffer, sizeof buffer));
    EXPECT_STREQ("", buffer);
}

TEST(PlatformInfo, BufferWithoutRoomIsNotTouched) {
    ScopedEnvironment name(kClientNameEnv, std::string("client"));
    char buffer[4] = "old";
    TQPlatformInfo info;
    EXPECT_NE(0, info.getVornServerClientName(buffer, 0));
    EXPECT_NE(0, info.getVornServerClientName(buffer, -1));
    EXPECT_NE(0, info.getVornServerClientName(nullptr, 4));
    EXPECT_STREQ("old", buffer);
}

TEST(PlatformInfo, PhysicalMachineIsTheHostName) {
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(0, gethostname(host, sizeof host - 1));
    TQPlatformInfo info;
    const char* machine = info.getPhysicalMachine();
    EXPECT_STREQ(host, machine);
    EXPECT_EQ(machine, info.getPhysicalMachine());
}

}  // namespace
