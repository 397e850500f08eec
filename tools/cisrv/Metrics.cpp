// The server's counts, kept in a prometheus-cpp registry. Every labelled
// series is made once here, so counting never takes the registry's lock.
#include "cisrv/Metrics.h"

#include <prometheus/text_serializer.h>

#include <ctime>

namespace cisrv {

namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;

int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double unixSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A counter family with one series per label value, in the order of the
// enum's values.
std::vector<prometheus::Counter*> countersByLabel(prometheus::Registry& registry,
                                                  const std::string& name, const std::string& help,
                                                  const std::string& label,
                                                  const std::vector<std::string>& values) {
    auto& family = BuildCounter().Name(name).Help(help).Register(registry);
    std::vector<prometheus::Counter*> series;
    series.reserve(values.size());
    for (const std::string& value : values) {
        series.push_back(&family.Add({{label, value}}));
    }
    return series;
}

// "revocation list" -> "revocation_list": label values stay plain words.
std::string kindOf(const std::string& what) {
    std::string kind = what;
    for (char& c : kind) {
        if (c == ' ') {
            c = '_';
        }
    }
    return kind;
}

}  // namespace

Metrics::Metrics()
    : m_registry(std::make_shared<prometheus::Registry>()),
      m_eraseResults(countersByLabel(*m_registry, "cisrv_erase_requests_total",
                                     "Erase requests by result", "result",
                                     {"done", "refused", "read_only", "failed"})),
      m_pruneResults(countersByLabel(*m_registry, "cisrv_prune_requests_total",
                                     "Prune requests by result", "result",
                                     {"done", "failed", "invalid", "read_only"})),
      m_refusals(countersByLabel(*m_registry, "cisrv_refused_connections_total",
                                 "Connections turned away before or at their hello, by reason",
                                 "reason",
                                 {"service", "busy", "peer_cap", "pending_full", "evicted",
                                  "handshake_timeout", "handshake"})) {
    prometheus::Registry& r = *m_registry;
    m_erasedDocuments = &BuildCounter()
                             .Name("cisrv_erased_documents_total")
                             .Help("Documents removed by committed erases")
                             .Register(r)
                             .Add({});
    m_prunedDocuments = &BuildCounter()
                             .Name("cisrv_pruned_documents_total")
                             .Help("Documents removed by committed prunes")
                             .Register(r)
                             .Add({});
    m_lostPrunes = &BuildCounter()
                        .Name("cisrv_lost_prunes_total")
                        .Help("Prunes that could not be carried out (their senders are told)")
                        .Register(r)
                        .Add({});
    m_sessions = &BuildGauge().Name("cisrv_sessions").Help("Sessions open").Register(r).Add({});
    m_pending = &BuildGauge()
                     .Name("cisrv_pending_connections")
                     .Help("Connections not yet through their TLS handshake and hello")
                     .Register(r)
                     .Add({});
    m_queueDepth = &BuildGauge()
                        .Name("cisrv_writer_queue_depth")
                        .Help("Index changes queued for the writer")
                        .Register(r)
                        .Add({});
    m_indexDocuments = &BuildGauge()
                            .Name("cisrv_index_documents")
                            .Help("Documents in the index, counted at the scrape")
                            .Register(r)
                            .Add({});
    m_lastCommitTime = &BuildGauge()
                            .Name("cisrv_last_commit_timestamp_seconds")
                            .Help("Time of the last successful index commit (0: none yet)")
                            .Register(r)
                            .Add({});
    m_batchSize = &BuildHistogram()
                       .Name("cisrv_writer_batch_changes")
                       .Help("Changes carried out in one index transaction")
                       .Register(r)
                       .Add({}, prometheus::Histogram::BucketBoundaries{1, 2, 5, 10, 20, 50, 100,
                                                                        200, 500, 1000});
    m_commitSeconds = &BuildHistogram()
                           .Name("cisrv_writer_commit_duration_seconds")
                           .Help("Time a successful commit took, its sync included")
                           .Register(r)
                           .Add({}, prometheus::Histogram::BucketBoundaries{
                                        0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1,
                                        2.5, 5, 10, 30, 60});
    m_buildInfo =
        &BuildGauge().Name("cisrv_build_info").Help("The server's version, always 1").Register(r);
    m_tlsExpiry = &BuildGauge()
                       .Name("cisrv_tls_expiry_timestamp_seconds")
                       .Help(
                           "When each TLS certificate runs out, or each revocation list's "
                           "next update is due")
                       .Register(r);
}

void Metrics::erased(EraseOutcome outcome, int64_t documents) {
    m_eraseResults[static_cast<size_t>(outcome)]->Increment();
    if (documents > 0) {
        m_erasedDocuments->Increment(static_cast<double>(documents));
    }
}

void Metrics::pruned(PruneOutcome outcome, int64_t documents) {
    m_pruneResults[static_cast<size_t>(outcome)]->Increment();
    if (outcome == PruneOutcome::Failed) {
        m_lostPrunes->Increment();
    }
    if (documents > 0) {
        m_prunedDocuments->Increment(static_cast<double>(documents));
    }
}

void Metrics::refused(Refusal why) { m_refusals[static_cast<size_t>(why)]->Increment(); }

void Metrics::sessionOpened() {
    ++m_sessionsOpen;
    m_sessions->Increment();
}

void Metrics::sessionClosed() {
    --m_sessionsOpen;
    m_sessions->Decrement();
}

void Metrics::setPending(size_t connections) { m_pending->Set(static_cast<double>(connections)); }
void Metrics::queued() { m_queueDepth->Increment(); }
void Metrics::dequeued() { m_queueDepth->Decrement(); }

void Metrics::setIndexDocuments(int64_t documents) {
    m_indexDocuments->Set(static_cast<double>(documents));
}

void Metrics::setBuildInfo(const std::string& version) {
    m_buildInfo->Add({{"version", version}}).Set(1);
}

void Metrics::setTlsExpiries(const std::vector<tqsession::TlsExpiry>& expiries) {
    std::lock_guard<std::mutex> lock(m_tlsMutex);
    for (prometheus::Gauge* gauge : m_tlsGauges) {
        m_tlsExpiry->Remove(gauge);
    }
    m_tlsGauges.clear();
    for (const tqsession::TlsExpiry& expiry : expiries) {
        if (expiry.expires == 0) {
            continue;  // a list without a next update
        }
        prometheus::Gauge& gauge = m_tlsExpiry->Add(
            {{"kind", kindOf(expiry.what)}, {"file", expiry.file}, {"subject", expiry.subject}});
        gauge.Set(static_cast<double>(expiry.expires));
        m_tlsGauges.push_back(&gauge);
    }
}

void Metrics::writerWorking() { m_pieceStartedMs.store(steadyMilliseconds()); }

void Metrics::batchCommitted(size_t changes, std::chrono::steady_clock::duration commitTook) {
    m_batchSize->Observe(static_cast<double>(changes));
    m_commitSeconds->Observe(std::chrono::duration<double>(commitTook).count());
    m_lastCommitTime->Set(unixSeconds());
    m_lastBatchFailed.store(false);
}

void Metrics::batchFailed(size_t changes) {
    m_batchSize->Observe(static_cast<double>(changes));
    m_lastBatchFailed.store(true);
}

void Metrics::writerIdle() { m_pieceStartedMs.store(0); }

std::chrono::milliseconds Metrics::writerBusyFor() const {
    const int64_t started = m_pieceStartedMs.load();
    if (started == 0) {
        return std::chrono::milliseconds(0);
    }
    return std::chrono::milliseconds(steadyMilliseconds() - started);
}

std::string Metrics::exposition() const {
    return prometheus::TextSerializer().Serialize(m_registry->Collect());
}

Metrics& metrics() {
    static Metrics counts;
    return counts;
}

}  // namespace cisrv
