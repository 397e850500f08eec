// Reloading the server's TLS files and warning of their expiry.
#include "cisrv/TlsUpkeep.h"

#include <ctime>
#include <string>
#include <vector>

#include "cisrv/Metrics.h"

namespace cisrv {

namespace {

constexpr auto kWarningsEvery = std::chrono::hours(24);
constexpr int64_t kSecondsPerDay = 86400;

std::string describe(const tqsession::TlsExpiry& expiry, int64_t now) {
    const bool list = expiry.serial.empty();
    return expiry.what + (expiry.file.empty() ? "" : " " + expiry.file) + " (" +
           (list ? "issuer " + expiry.subject
                 : "subject " + expiry.subject + ", serial " + expiry.serial) +
           (list ? "): next update " : "): expires ") +
           tqsession::describeExpiry(expiry.expires, now);
}

}  // namespace

TlsUpkeep::TlsUpkeep(ServerLog& log, int64_t warnDays)
    : m_log(log),
      m_warnDays(warnDays),
      m_security(tqsession::securityFromEnvironment()),
      m_handled(s_requests.load()) {}

void TlsUpkeep::start() {
    if (m_security.tlsEnabled()) {
        warnOfExpiries();
    }
}

void TlsUpkeep::poll() {
    const unsigned requests = s_requests.load();
    if (requests != m_handled) {
        m_handled = requests;
        if (m_security.tlsEnabled()) {
            reload();
        }
    }
    if (m_security.tlsEnabled() && std::chrono::steady_clock::now() >= m_nextWarnings) {
        warnOfExpiries();
    }
}

void TlsUpkeep::reload() {
    const CYxError reloaded = tqsession::reloadServerTls(m_security);
    if (reloaded.IsError()) {
        m_log.error("TLS files not reloaded, those read before stay in use: " +
                    reloaded.AsString());
        return;
    }
    std::vector<tqsession::TlsExpiry> expiries;
    const CYxError dated = tqsession::tlsExpiries(m_security, expiries);
    std::string certificate = "certificate " + m_security.certificate;
    if (!dated.IsError() && !expiries.empty() && expiries.front().what == "certificate") {
        certificate = describe(expiries.front(), ::time(nullptr));
    }
    m_log.info("TLS files reloaded: " + certificate +
               "; new connections use them, open sessions go on");
    warnOfExpiries();
}

void TlsUpkeep::warnOfExpiries() {
    m_nextWarnings = std::chrono::steady_clock::now() + kWarningsEvery;
    std::vector<tqsession::TlsExpiry> expiries;
    const CYxError dated = tqsession::tlsExpiries(m_security, expiries);
    if (dated.IsError()) {
        m_log.warn("cannot tell when the TLS files expire: " + dated.AsString());
        return;
    }
    metrics().setTlsExpiries(expiries);
    const int64_t now = ::time(nullptr);
    for (const tqsession::TlsExpiry& expiry : expiries) {
        if (expiry.expires == 0 || expiry.expires - now > m_warnDays * kSecondsPerDay) {
            continue;
        }
        m_log.warn("TLS " + describe(expiry, now) +
                   (expiry.serial.empty() ? ": make a new list (openssl ca "
                                            "-gencrl) and send SIGHUP; past that "
                                            "date nobody is accepted"
                                          : ": renew it and send SIGHUP"));
    }
}

}  // namespace cisrv
