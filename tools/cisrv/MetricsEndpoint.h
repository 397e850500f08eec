// The operators' HTTP endpoint of a running server (--metrics-listen):
//   GET /metrics  the counts of Metrics in the Prometheus text format;
//   GET /healthz  200 while the process serves HTTP at all;
//   GET /readyz   200 when the server takes erases now: started, not
//                 stopping, and its writer neither stuck on one piece of work
//                 beyond --lock-wait nor failed at its last batch (503 with
//                 the reason otherwise; ready again at the next commit).
// Plain HTTP on the address given, nothing else; it serves no index data.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "YxError.h"
#include "cisrv/IndexStore.h"

struct mg_context;

namespace cisrv {

class MetricsEndpoint {
public:
    struct Settings {
        std::string address;  // numeric; IPv6 without brackets
        uint16_t port = 0;    // 0 picks a free port
        std::string indexFile;
        StoreOptions store;  // how the index is opened to count its documents
        std::chrono::milliseconds lockWait{60000};
        const std::atomic<bool>* stopping = nullptr;
    };

    static CYxError start(const Settings& settings, std::unique_ptr<MetricsEndpoint>& out);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    uint16_t port() const { return m_port; }

    // Empty when ready, else why not.
    std::string notReadyBecause() const;
    // The exposition, with the index's documents counted first.
    std::string scrape();

private:
    explicit MetricsEndpoint(Settings settings) : m_settings(std::move(settings)) {}
    void countDocuments();

    const Settings m_settings;
    mg_context* m_context = nullptr;
    uint16_t m_port = 0;
    std::mutex m_countMutex;
    std::unique_ptr<IndexStore> m_reader;  // opened at the first scrape
    std::chrono::steady_clock::time_point m_nextCount{};
};

}  // namespace cisrv
