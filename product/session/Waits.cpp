// Wait units and deadlines.
#include <climits>
#include <cstdlib>
#include <ctime>

#include "common/Integer.h"
#include "session/Waits.h"

namespace tqsession {

namespace {

// An hour per unit is far beyond any use and keeps wait * unit well inside 64 bits.
constexpr int64_t kMaxWaitUnitMs = int64_t{3600} * 1000;
// About 30 years: far beyond any wait, and safe from overflow.
constexpr int64_t kMaxDeadlineMs = int64_t{1000} * 1000 * 1000 * 1000;

}  // namespace

int64_t parseWaitUnitMs(const char* text) {
    int64_t value = kDefaultWaitUnitMs;
    if (text != nullptr) {
        using tqcommon::Notation;
        (void)tqcommon::parseInteger(text, 1, kMaxWaitUnitMs, value, Notation::DigitsOnly);
    }
    return value;
}

int64_t waitUnitMs() {
    static const int64_t unit = parseWaitUnitMs(std::getenv(kWaitUnitVariable));
    return unit;
}

Deadline Deadline::fromWait(int wait) {
    const int units = wait < 0 ? kDefaultWait : wait;
    return afterMs(static_cast<int64_t>(units) * waitUnitMs());
}

Deadline Deadline::afterMs(int64_t milliseconds) {
    if (milliseconds < 0) {
        milliseconds = 0;
    }
    if (milliseconds > kMaxDeadlineMs) {
        milliseconds = kMaxDeadlineMs;
    }
    return Deadline(nowMs() + milliseconds);
}

// The coarse clock costs a memory read where the precise one reads a hardware
// clock, and a deadline is checked around every message; its resolution (the
// scheduler tick) matches that of the socket timeouts it feeds.
int64_t Deadline::nowMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool Deadline::expired() const { return nowMs() >= m_atMs; }

int Deadline::pollTimeoutMs() const {
    const int64_t left = m_atMs - nowMs();
    if (left <= 0) {
        return 0;
    }
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

}  // namespace tqsession
