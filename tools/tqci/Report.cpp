#include "tqci/Report.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

namespace {

// How an outcome is named in a JSON object and in a result line.
struct OutcomeNames {
    const char* json;
    const char* text;
};

OutcomeNames namesOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ok: return {"ok", "ok"};
        case Outcome::Partial: return {"partial", "PARTIAL"};
        case Outcome::Failed: return {"failed", "FAILED"};
        case Outcome::NothingToErase: return {"nothing-to-erase", "nothing to erase"};
    }
    return {"failed", "FAILED"};
}

// A path as shown in a result line: long ones are cut.
std::string shown(const std::string& text) {
    constexpr size_t kShownLength = 160;
    return text.size() <= kShownLength ? text : text.substr(0, kShownLength) + "...";
}

}  // namespace

namespace {

using Json = nlohmann::json;

Json jsonOf(const std::vector<ArchiveFileRef>& files) {
    Json list = Json::array();
    for (const auto& file : files) {
        list.push_back({{"cell_number", file.cellNumber},
                        {"archive_file", file.archiveFile},
                        {"cloud", file.cloud}});
    }
    return list;
}

// One line of JSON; bytes that are not UTF-8 become U+FFFD.
std::string line(const Json& object) {
    return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

// What a partial result says of the work it did not do, for its result line.
std::string partialDetail(const CallResult& result) {
    if (!result.failedArchiveFiles.empty()) {
        return " (" + std::to_string(result.failedArchiveFiles.size()) +
               " archive files may not have been pruned)";
    }
    if (!result.failedServers.empty()) {
        std::string servers;
        for (const int id : result.failedServers) {
            servers += (servers.empty() ? "" : ", ") + std::to_string(id);
        }
        return " (CI servers " + servers + " did not confirm)";
    }
    return "";
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

Report::Report(ReportStyle style)
    : m_style(style),
      m_progress(!style.json),
      m_onTerminal(m_progress.enabled()),
      m_okAsProgress(m_onTerminal && ::isatty(STDOUT_FILENO) == 1),
      m_started(std::chrono::steady_clock::now()) {}

void Report::add(const std::string& what, const std::string& subject, const CallResult& result) {
    const Outcome outcome = result.outcome;
    m_allOk = m_allOk && outcome == Outcome::Ok;
    m_anyFailed = m_anyFailed || outcome == Outcome::Failed || outcome == Outcome::Partial;
    ++m_counts[static_cast<size_t>(outcome)];
    if (m_style.json) {
        printJson(subject, result);
    } else {
        printText(what, result);
    }
}

void Report::printJson(const std::string& subject, const CallResult& result) const {
    // A successful call has no reasons; its log lines are shown only on request.
    const bool failed = result.outcome != Outcome::Ok;
    Json object = {{"path", subject},
                   {"result", namesOf(result.outcome).json},
                   {"reasons", failed ? Json(result.reasons) : Json::array()}};
    if (result.outcome == Outcome::Partial) {
        if (!result.failedArchiveFiles.empty()) {
            object["failed_archive_files"] = jsonOf(result.failedArchiveFiles);
        } else {
            object["confirmed_servers"] = result.confirmedServers;
            object["failed_servers"] = result.failedServers;
        }
    }
    std::cout << line(object);
}

void Report::printText(const std::string& what, const CallResult& result) {
    const bool failed = result.outcome != Outcome::Ok;
    const bool showReasons = failed ? !m_style.quiet : m_style.verbose;
    const bool several =
        m_expected > 1 || m_counts[0] + m_counts[1] + m_counts[2] + m_counts[3] > 1;
    // On a terminal, a run of several calls shows its successes as progress
    // only; every other result is printed in full.
    if (m_okAsProgress && several && !failed && !showReasons) {
        showProgress();
        return;
    }
    clearProgress();
    std::cout << shown(what) << ": " << namesOf(result.outcome).text
              << (result.outcome == Outcome::Partial ? partialDetail(result) : "") << '\n';
    if (showReasons) {
        std::cout.flush();
        for (const auto& reason : result.reasons) {
            std::cerr << "tqci:   " << reason << '\n';
        }
    }
    if (m_onTerminal && several) {
        showProgress();
    }
}

void Report::showProgress() {
    const size_t done = m_counts[0] + m_counts[1] + m_counts[2] + m_counts[3];
    const size_t failures = done - m_counts[static_cast<size_t>(Outcome::Ok)];
    m_progress.showCount(done, m_expected, "done", ", " + std::to_string(failures) + " not ok");
}

void Report::clearProgress() { m_progress.clear(); }

void Report::finish() {
    clearProgress();
    const size_t calls = m_counts[0] + m_counts[1] + m_counts[2] + m_counts[3];
    if (calls <= 1) {
        return;
    }
    const auto count = [&](Outcome outcome) { return m_counts[static_cast<size_t>(outcome)]; };
    const double seconds = secondsSince(m_started);
    if (m_style.json) {
        std::cout << line({{"summary",
                            {{"calls", calls},
                             {"ok", count(Outcome::Ok)},
                             {"partial", count(Outcome::Partial)},
                             {"failed", count(Outcome::Failed)},
                             {"nothing-to-erase", count(Outcome::NothingToErase)},
                             {"seconds", seconds}}}});
        return;
    }
    char text[200];
    (void)std::snprintf(
        text, sizeof text,
        "%zu calls in %.1f s: %zu ok, %zu partial, %zu failed, %zu nothing to erase", calls,
        seconds, count(Outcome::Ok), count(Outcome::Partial), count(Outcome::Failed),
        count(Outcome::NothingToErase));
    std::cout << text << '\n';
}

void Report::note(const std::string& text) const {
    if (!m_style.quiet && !m_style.json) {
        std::cerr << "tqci: " << text << '\n';
    }
}
