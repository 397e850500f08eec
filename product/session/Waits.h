// Waits. A wait counts units of TQ_SESSION_WAIT_UNIT_MS milliseconds (1000 by
// default, so waits are seconds); a negative wait selects kDefaultWait. Every
// call that can block carries one Deadline through all of its waits.
#pragma once

#include <cstdint>

#include "TqPlatformApi.h"

namespace tqsession {

constexpr int kDefaultWait = 120;
constexpr int64_t kDefaultWaitUnitMs = 1000;
constexpr const char kWaitUnitVariable[] = "TQ_SESSION_WAIT_UNIT_MS";

// The unit a value of TQ_SESSION_WAIT_UNIT_MS selects: a whole number of
// milliseconds from 1 to 3,600,000; anything else (or null) gives the default.
TQ_PLATFORM_API int64_t parseWaitUnitMs(const char* text);
// The process's unit, read from the environment on first use.
TQ_PLATFORM_API int64_t waitUnitMs();

class TQ_PLATFORM_API Deadline {
public:
    // `wait` units from now (kDefaultWait when negative).
    static Deadline fromWait(int wait);
    static Deadline afterMs(int64_t milliseconds);

    bool expired() const;
    // Milliseconds left, clamped for poll(): 0 once expired.
    int pollTimeoutMs() const;

private:
    explicit Deadline(int64_t atMs) : m_atMs(atMs) {}
    static int64_t nowMs();

    int64_t m_atMs;  // on the coarse monotonic clock: waits are as exact as the scheduler tick
};

}  // namespace tqsession
