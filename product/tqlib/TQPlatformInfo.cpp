#include "TQPlatformInfo.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/Integer.h"

namespace {

constexpr char kFocusEnv[] = "TQ_FOCUS";
constexpr char kDefaultFocus[] = "Instance001";
constexpr char kPlatformTypeEnv[] = "TQ_PLATFORM_TYPE";
constexpr char kVornServerClientNameEnv[] = "TQ_VORNSERVER_CLIENT_NAME";

constexpr int kOk = 0;
constexpr int kNoName = 1;

// The value of `variable`, or null when it is unset or empty.
const char* environmentValue(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// A setting of the instance `focus`: "<variable>_<focus>" when set, so that
// instances on one machine can differ, else the machine-wide "<variable>".
const char* instanceSetting(const std::string& focus, const char* variable) {
    const std::string own = std::string(variable) + "_" + focus;
    const char* value = environmentValue(own.c_str());
    return value != nullptr ? value : environmentValue(variable);
}

// The platform type as written (decimal, or hex with 0x); 0 when unset or not
// a number that fits.
unsigned int parsePlatformType(const char* text) {
    int64_t value = 0;
    if (text == nullptr || !tqcommon::parseInteger(text, 0, UINT_MAX, value)) {
        return 0;
    }
    return static_cast<unsigned int>(value);
}

std::string localMachineName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) == 0) {
        return name;
    }
    utsname system{};
    return uname(&system) == 0 ? system.nodename : "";
}

}  // namespace

const char* TQPI_Focus::getFocus() {
    const char* focus = environmentValue(kFocusEnv);
    return focus != nullptr ? focus : kDefaultFocus;
}

struct TQPlatformInfo::Impl {
    std::string focus = TQPI_Focus::getFocus();
    std::string physicalMachine;
    bool physicalMachineKnown = false;
};

// The header fixes a raw Impl pointer; construction and destruction pair up here.
TQPlatformInfo::TQPlatformInfo() : m_impl(new Impl) {}

TQPlatformInfo::~TQPlatformInfo() { delete m_impl; }

void TQPlatformInfo::setFocus(const char* focus) {
    m_impl->focus = focus != nullptr ? focus : TQPI_Focus::getFocus();
}

unsigned int TQPlatformInfo::getTQPlatformType() {
    return parsePlatformType(instanceSetting(m_impl->focus, kPlatformTypeEnv));
}

int TQPlatformInfo::getVornServerClientName(char* buffer, int size) {
    if (buffer == nullptr || size <= 0) {
        return kNoName;
    }
    const char* name = instanceSetting(m_impl->focus, kVornServerClientNameEnv);
    if (name == nullptr) {
        buffer[0] = '\0';
        return kNoName;
    }
    const size_t copied = strnlen(name, static_cast<size_t>(size) - 1);
    std::memcpy(buffer, name, copied);
    buffer[copied] = '\0';
    return kOk;
}

const char* TQPlatformInfo::getPhysicalMachine() {
    if (!m_impl->physicalMachineKnown) {
        m_impl->physicalMachine = localMachineName();
        m_impl->physicalMachineKnown = true;
    }
    return m_impl->physicalMachine.c_str();
}
