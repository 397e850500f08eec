// systemd's notification protocol through sd_notify().
#include "cisrv/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

#include "cisrv/Metrics.h"
#include "cisrv/ServerLog.h"

namespace cisrv {

namespace {

// STATUS= is refreshed this often when no watchdog asks for more.
constexpr auto kStatusEvery = std::chrono::seconds(5);

std::string lastCommitText() {
    const double last = metrics().lastCommitTime();
    if (last <= 0) {
        return "no commit yet";
    }
    const auto ago = static_cast<int64_t>(::time(nullptr) - static_cast<time_t>(last));
    return "last commit " + std::to_string(ago < 0 ? 0 : ago) + " s ago";
}

}  // namespace

std::unique_ptr<ServiceNotifier> ServiceNotifier::startIfNotified(
    std::chrono::milliseconds stalledAfter) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') {
        return nullptr;
    }
    uint64_t watchdogUs = 0;
    if (sd_watchdog_enabled(0, &watchdogUs) <= 0) {
        watchdogUs = 0;
    }
    return std::unique_ptr<ServiceNotifier>(
        new ServiceNotifier(stalledAfter, std::chrono::microseconds(watchdogUs)));
}

ServiceNotifier::ServiceNotifier(std::chrono::milliseconds stalledAfter,
                                 std::chrono::microseconds watchdog)
    : m_stalledAfter(stalledAfter), m_watchdog(watchdog) {}

ServiceNotifier::~ServiceNotifier() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    (void)sd_notify(0, "STOPPING=1\nSTATUS=stopping");
}

void ServiceNotifier::ready() {
    (void)sd_notify(0, ("READY=1\nSTATUS=serving; 0 sessions open; " + lastCommitText()).c_str());
    if (m_watchdog.count() > 0) {
        (void)sd_notify(0, "WATCHDOG=1");
    }
    m_thread = std::thread([this] { run(); });
}

// Pings at half the watchdog interval, as systemd advises.
void ServiceNotifier::run() {
    const auto every =
        m_watchdog.count() > 0
            ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(m_watchdog / 2)
            : std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                  std::chrono::duration<double>(kStatusEvery));
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, every, [this] { return m_stopping; })) {
        tell();
    }
}

void ServiceNotifier::tell() {
    const std::chrono::milliseconds busy = metrics().writerBusyFor();
    const bool stalled = busy > m_stalledAfter;
    std::string message = "STATUS=" +
                          (stalled ? "index writer stalled for " + secondsText(busy.count()) + "; "
                                   : std::string("serving; ")) +
                          std::to_string(metrics().sessionsOpen()) + " sessions open; " +
                          lastCommitText();
    if (!stalled && m_watchdog.count() > 0) {
        message += "\nWATCHDOG=1";
    }
    (void)sd_notify(0, message.c_str());
}

}  // namespace cisrv
