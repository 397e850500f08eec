// One line of progress on standard error that is rewritten in place, for
// long runs watched on a terminal: "1200/3000 done, 410/s, 2 not ok, 4 s left".
// Off a terminal it writes nothing, so logs and pipes see only the results.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <iostream>
#include <string>

namespace tqtool {

class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;

    // Shown only when `enabled` and standard error is a terminal.
    explicit ProgressLine(bool enabled = true)
        : m_enabled(enabled && ::isatty(STDERR_FILENO) == 1), m_started(Clock::now()) {}
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool enabled() const { return m_enabled; }
    double secondsSinceStart() const {
        return std::chrono::duration<double>(Clock::now() - m_started).count();
    }

    // Rewrites the line, at most every 200 ms unless `final` (the last count
    // must show).
    void show(const std::string& text, bool final = false) {
        if (!m_enabled) {
            return;
        }
        const auto now = Clock::now();
        if (m_shown && !final && now - m_lastShown < kPause) {
            return;
        }
        m_lastShown = now;
        std::cout.flush();  // results already printed go before the line
        std::cerr << "\r\x1b[K" << text << std::flush;
        m_shown = true;
    }
    // "DONE/TOTAL UNIT, R/s, S s left" (TOTAL 0: unknown, no time left).
    void showCount(size_t done, size_t total, const std::string& unit,
                   const std::string& extra = std::string()) {
        if (!m_enabled) {
            return;
        }
        const double seconds = secondsSinceStart();
        const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
        char text[160];
        if (total > 0) {
            const double left = rate > 0 ? static_cast<double>(total - done) / rate : 0;
            (void)std::snprintf(text, sizeof text, "%zu/%zu %s, %.0f/s%s, %.0f s left", done, total,
                                unit.c_str(), rate, extra.c_str(), left);
        } else {
            (void)std::snprintf(text, sizeof text, "%zu %s, %.0f/s%s", done, unit.c_str(), rate,
                                extra.c_str());
        }
        show(text, done == total);
    }
    // Removes the line, so that the next output starts on a clean line.
    void clear() {
        if (!m_shown) {
            return;
        }
        std::cerr << "\r\x1b[K" << std::flush;
        m_shown = false;
    }

private:
    static constexpr auto kPause = std::chrono::milliseconds(200);

    const bool m_enabled;
    const Clock::time_point m_started;
    Clock::time_point m_lastShown{};
    bool m_shown = false;
};

}  // namespace tqtool
