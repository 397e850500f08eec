#include "Report.h"

#include <cstdio>
#include <iostream>

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

// Length of the UTF-8 sequence at `at` (1 to 4), or 0 when it is not one.
size_t utf8Length(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    const size_t length = lead >= 0xF8 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    unsigned long code = lead & (0x7Fu >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    constexpr unsigned long kLowest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < kLowest[length] || code > 0x10FFFF || surrogate ? 0 : length;
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        const size_t length = utf8Length(text, at);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[sizeof "\\u00ff"];
            (void)std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (length == 0) {
            out += "\\ufffd";
        } else {
            out.append(text, at, length);
        }
        at += length == 0 ? 1 : length;
    }
    return out + "\"";
}

namespace {

std::string jsonList(const std::vector<int>& ids) {
    std::string out = "[";
    for (size_t i = 0; i < ids.size(); ++i) out += (i == 0 ? "" : ",") + std::to_string(ids[i]);
    return out + "]";
}

std::string jsonList(const std::vector<ArchiveFileRef>& files) {
    std::string out = "[";
    for (size_t i = 0; i < files.size(); ++i) {
        out += (i == 0 ? "" : ",") + std::string(R"({"cell_number":)") +
               std::to_string(files[i].cellNumber) + R"(,"archive_file":)" +
               std::to_string(files[i].archiveFile) + R"(,"cloud":)" +
               std::to_string(files[i].cloud) + "}";
    }
    return out + "]";
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

}  // namespace

void Report::add(const std::string& what, const std::string& subject, const CallResult& result) {
    const Outcome outcome = result.outcome;
    m_allOk = m_allOk && outcome == Outcome::Ok;
    m_anyFailed = m_anyFailed || outcome == Outcome::Failed || outcome == Outcome::Partial;
    // A successful call has no reasons; its log lines are shown only on request.
    const bool failed = outcome != Outcome::Ok;
    const std::vector<std::string>& reasons = result.reasons;
    if (m_style.json) {
        std::string object = R"({"path":)" + jsonString(subject) + R"(,"result":")" +
                             namesOf(outcome).json + R"(","reasons":[)";
        for (size_t i = 0; failed && i < reasons.size(); ++i) {
            object += (i == 0 ? "" : ",") + jsonString(reasons[i]);
        }
        object += "]";
        if (outcome == Outcome::Partial) {
            if (!result.failedArchiveFiles.empty()) {
                object += R"(,"failed_archive_files":)" + jsonList(result.failedArchiveFiles);
            } else {
                object += R"(,"confirmed_servers":)" + jsonList(result.confirmedServers) +
                          R"(,"failed_servers":)" + jsonList(result.failedServers);
            }
        }
        std::cout << object << "}\n";
        return;
    }
    std::cout << shown(what) << ": " << namesOf(outcome).text
              << (outcome == Outcome::Partial ? partialDetail(result) : "") << '\n';
    if (failed ? !m_style.quiet : m_style.verbose) {
        std::cout.flush();
        for (const auto& reason : reasons) {
            std::cerr << "tqci:   " << reason << '\n';
        }
    }
}

void Report::note(const std::string& text) const {
    if (!m_style.quiet && !m_style.json) {
        std::cerr << "tqci: " << text << '\n';
    }
}
