// The HTTP endpoint of the metrics and the health checks, on civetweb.
#include "cisrv/MetricsEndpoint.h"

#include <civetweb.h>

#include <cstring>
#include <string>

#include "cisrv/Metrics.h"
#include "cisrv/ServerLog.h"
#include "common/ErrorResult.h"

namespace cisrv {

namespace {

// Civetweb's own workers: a scrape and a probe at once.
constexpr char kWorkers[] = "2";
constexpr char kRequestTimeoutMs[] = "10000";
// A scrape counts the index's documents at most this often: the count reads
// the whole document index, and a reader holds back the purge's checkpoint.
constexpr auto kCountEvery = std::chrono::seconds(5);
// The count gives up after this long rather than hold a scrape.
constexpr auto kCountLimit = std::chrono::seconds(2);
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

// Why civetweb could not start, from its log callback on the starting thread.
thread_local std::string t_startFailure;

int keepStartFailure(const mg_connection*, const char* message) {
    if (t_startFailure.empty() && message != nullptr) {
        t_startFailure = message;
    }
    return 1;  // nothing to civetweb's own log
}

void respond(mg_connection* connection, int status, const char* reason, const char* type,
             const std::string& body) {
    mg_printf(connection,
              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
              "Cache-Control: no-store\r\nConnection: close\r\n\r\n",
              status, reason, type, body.size());
    if (std::strcmp(mg_get_request_info(connection)->request_method, "HEAD") != 0) {
        mg_write(connection, body.data(), body.size());
    }
}

int handleRequest(mg_connection* connection, void* data) {
    auto& endpoint = *static_cast<MetricsEndpoint*>(data);
    const mg_request_info* request = mg_get_request_info(connection);
    const std::string method = request->request_method;
    const std::string uri = request->local_uri != nullptr ? request->local_uri : "";
    if (method != "GET" && method != "HEAD") {
        respond(connection, 405, "Method Not Allowed", "text/plain", "GET only\n");
        return 405;
    }
    if (uri == "/metrics") {
        respond(connection, 200, "OK", kMetricsType, endpoint.scrape());
        return 200;
    }
    if (uri == "/healthz") {
        respond(connection, 200, "OK", "text/plain", "alive\n");
        return 200;
    }
    if (uri == "/readyz") {
        const std::string why = endpoint.notReadyBecause();
        if (why.empty()) {
            respond(connection, 200, "OK", "text/plain", "ready\n");
            return 200;
        }
        respond(connection, 503, "Service Unavailable", "text/plain", "not ready: " + why + "\n");
        return 503;
    }
    respond(connection, 404, "Not Found", "text/plain", "/metrics, /healthz or /readyz\n");
    return 404;
}

std::string listeningPort(const std::string& address, uint16_t port) {
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

}  // namespace

CYxError MetricsEndpoint::start(const Settings& settings, std::unique_ptr<MetricsEndpoint>& out) {
    static const unsigned initialised = mg_init_library(0);
    (void)initialised;
    std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint(settings));
    const std::string ports = listeningPort(settings.address, settings.port);
    const char* options[] = {"listening_ports",    ports.c_str(),     "num_threads", kWorkers,
                             "request_timeout_ms", kRequestTimeoutMs, nullptr};
    mg_callbacks callbacks{};
    callbacks.log_message = keepStartFailure;
    t_startFailure.clear();
    endpoint->m_context = mg_start(&callbacks, nullptr, options);
    if (endpoint->m_context == nullptr) {
        return tqcommon::ioError(
            "cannot serve metrics on " + ports + ": " +
            (t_startFailure.empty() ? "civetweb did not start" : t_startFailure));
    }
    mg_set_request_handler(endpoint->m_context, "/", handleRequest, endpoint.get());
    mg_server_port bound{};
    if (mg_get_server_ports(endpoint->m_context, 1, &bound) == 1) {
        endpoint->m_port = static_cast<uint16_t>(bound.port);
    }
    out = std::move(endpoint);
    return CYxError();
}

MetricsEndpoint::~MetricsEndpoint() {
    if (m_context != nullptr) {
        mg_stop(m_context);
    }
}

std::string MetricsEndpoint::notReadyBecause() const {
    if (m_settings.stopping != nullptr && m_settings.stopping->load()) {
        return "stopping";
    }
    const std::chrono::milliseconds busy = metrics().writerBusyFor();
    if (busy > m_settings.lockWait) {
        return "the index writer has been on one piece of work for " + secondsText(busy.count()) +
               ", beyond the lock wait of " + secondsText(m_settings.lockWait.count());
    }
    if (metrics().lastBatchFailed()) {
        return "the last batch of index changes failed (see the log); ready again after the "
               "next commit";
    }
    return std::string();
}

std::string MetricsEndpoint::scrape() {
    countDocuments();
    return metrics().exposition();
}

// The gauge keeps its last value when the index cannot be read now.
void MetricsEndpoint::countDocuments() {
    std::lock_guard<std::mutex> lock(m_countMutex);
    const auto now = std::chrono::steady_clock::now();
    if (now < m_nextCount) {
        return;
    }
    m_nextCount = now + kCountEvery;
    if (!m_reader) {
        StoreOptions options = m_settings.store;
        options.migrate = false;
        if (IndexStore::open(m_settings.indexFile, OpenMode::MustExist, options, m_reader)
                .IsError()) {
            return;
        }
        m_reader->setReadLimit(std::chrono::duration_cast<std::chrono::milliseconds>(kCountLimit));
    }
    int64_t documents = 0;
    if (!m_reader->count(documents).IsError()) {
        metrics().setIndexDocuments(documents);
    }
}

}  // namespace cisrv
