// What the server counts for its operators: requests and their results,
// documents removed, sessions and pending connections, refusals, the
// writer's batches and commits, the TLS files' expiry. Every count lives
// here, so the components that do the work only report events (one call
// each), and the counting on their paths is an atomic add.
//
// The same numbers serve the health of the server: the writer reports when
// it starts and ends a piece of work (a batch, each lock wait in it), so
// that the readiness check and the service manager's watchdog can tell a
// writer that is stuck from one that is idle.
#pragma once

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "session/Security.h"

namespace cisrv {

enum class EraseOutcome { Done, Refused, ReadOnly, Failed };
enum class PruneOutcome { Done, Failed, Invalid, ReadOnly };
// Why a connection was turned away before or at its hello.
enum class Refusal { Service, Busy, PeerCap, PendingFull, Evicted, HandshakeTimeout, Handshake };

class Metrics {
public:
    Metrics();
    Metrics(const Metrics&) = delete;
    Metrics& operator=(const Metrics&) = delete;

    void erased(EraseOutcome outcome, int64_t documents = 0);
    // A failed prune is also a lost one: its sender is told it was not carried out.
    void pruned(PruneOutcome outcome, int64_t documents = 0);
    void refused(Refusal why);
    void sessionOpened();
    void sessionClosed();
    void setPending(size_t connections);
    void queued();
    void dequeued();
    void setIndexDocuments(int64_t documents);
    void setBuildInfo(const std::string& version);
    // Replaces the expiry times of the TLS files (after the start and each reload).
    void setTlsExpiries(const std::vector<tqsession::TlsExpiry>& expiries);

    // The writer: a piece of work starts (a batch, or a further lock wait in
    // one), and the batch it belongs to ends committed or failed.
    void writerWorking();
    void batchCommitted(size_t changes, std::chrono::steady_clock::duration commitTook);
    void batchFailed(size_t changes);
    void writerIdle();

    // How long the writer has been on its current piece of work (zero when idle).
    std::chrono::milliseconds writerBusyFor() const;
    // Whether the last batch failed and none committed since.
    bool lastBatchFailed() const { return m_lastBatchFailed.load(); }
    int64_t sessionsOpen() const { return m_sessionsOpen.load(); }
    // Seconds since 1970 of the last commit; 0 before the first.
    double lastCommitTime() const { return m_lastCommitTime->Value(); }

    // Everything in the Prometheus text format.
    std::string exposition() const;

private:
    std::shared_ptr<prometheus::Registry> m_registry;
    std::vector<prometheus::Counter*> m_eraseResults;
    std::vector<prometheus::Counter*> m_pruneResults;
    std::vector<prometheus::Counter*> m_refusals;
    prometheus::Counter* m_erasedDocuments;
    prometheus::Counter* m_prunedDocuments;
    prometheus::Counter* m_lostPrunes;
    prometheus::Gauge* m_sessions;
    prometheus::Gauge* m_pending;
    prometheus::Gauge* m_queueDepth;
    prometheus::Gauge* m_indexDocuments;
    prometheus::Gauge* m_lastCommitTime;
    prometheus::Histogram* m_batchSize;
    prometheus::Histogram* m_commitSeconds;
    prometheus::Family<prometheus::Gauge>* m_buildInfo;
    prometheus::Family<prometheus::Gauge>* m_tlsExpiry;
    std::mutex m_tlsMutex;
    std::vector<prometheus::Gauge*> m_tlsGauges;

    std::atomic<int64_t> m_sessionsOpen{0};
    // Steady-clock milliseconds when the current piece of work started; 0: idle.
    std::atomic<int64_t> m_pieceStartedMs{0};
    std::atomic<bool> m_lastBatchFailed{false};
};

// The server's one set of counts.
Metrics& metrics();

}  // namespace cisrv
