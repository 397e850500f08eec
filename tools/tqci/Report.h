// What tqci prints for each call: a result line on standard output and the
// reasons on standard error, or with --json one JSON object per line:
//   {"path":"/p","result":"ok|failed|nothing-to-erase","reasons":["..."]}
#pragma once

#include <string>
#include <vector>

enum class Outcome { Ok, Failed, NothingToErase };

struct ReportStyle {
    bool json = false;
    bool quiet = false;    // no reasons on standard error
    bool verbose = false;  // the log lines of successful calls too
};

class Report {
public:
    explicit Report(ReportStyle style) : m_style(style) {}

    // One call: `what` names it in a result line ("erase-backup /p"),
    // `subject` in a JSON object (the path, or the prune list).
    void add(const std::string& what, const std::string& subject, Outcome outcome,
             const std::vector<std::string>& reasons);
    // A note on standard error, unless quiet or JSON.
    void note(const std::string& text) const;

    bool allOk() const { return m_allOk; }
    bool anyFailed() const { return m_anyFailed; }

private:
    ReportStyle m_style;
    bool m_allOk = true;
    bool m_anyFailed = false;
};

// `text` as a JSON string; bytes that are not UTF-8 become U+FFFD.
std::string jsonString(const std::string& text);
