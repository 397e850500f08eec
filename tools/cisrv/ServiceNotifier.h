// Tells systemd (Type=notify) how the server is: READY=1 once it listens,
// a STATUS= line with the open sessions and the last commit, and WATCHDOG=1
// pings for as long as the index writer makes progress. An idle writer is
// healthy; the pings stop once the writer has been on one piece of work (a
// batch, a lock wait in it) for longer than `stalledAfter` (--lock-wait plus
// --stall-margin), so that systemd restarts a server whose writer is stuck
// (WatchdogSec= in the unit). Without NOTIFY_SOCKET nothing is sent and no
// thread runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace cisrv {

class ServiceNotifier {
public:
    // Null when the process does not run under a service manager that listens.
    static std::unique_ptr<ServiceNotifier> startIfNotified(std::chrono::milliseconds stalledAfter);
    // Says STOPPING=1 and ends the thread.
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // READY=1 with the first status; the server listens by now.
    void ready();

private:
    ServiceNotifier(std::chrono::milliseconds stalledAfter, std::chrono::microseconds watchdog);
    void run();
    void tell();

    const std::chrono::milliseconds m_stalledAfter;
    const std::chrono::microseconds m_watchdog;  // 0: no watchdog asked for
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace cisrv
