// What tqci prints for each call: a result line on standard output and the
// reasons on standard error, or with --json one JSON object per line:
//   {"path":"/p","result":"ok|partial|failed|nothing-to-erase","reasons":["..."]}
// A partial result adds what was and was not carried out:
//   "confirmed_servers":[101],"failed_servers":[102]           (erases)
//   "failed_archive_files":[{"cell_number":4711,"archive_file":7,"cloud":1}]  (prunes)
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "common/ProgressLine.h"

// Partial: the helper's result was 0 (some server was reached or confirmed),
// but part of the work failed or could not be told from the log.
enum class Outcome { Ok, Partial, Failed, NothingToErase };

struct ArchiveFileRef {
    int cellNumber = 0;
    int archiveFile = 0;
    int cloud = 0;
};

struct CallResult {
    Outcome outcome = Outcome::Ok;
    std::vector<std::string> reasons;
    // Of a partial erase: the CI servers (client ids) that confirmed it, and
    // those known to the directory that did not.
    std::vector<int> confirmedServers;
    std::vector<int> failedServers;
    // Of a partial prune: the archive files whose prune may not have been
    // carried out.
    std::vector<ArchiveFileRef> failedArchiveFiles;
};

struct ReportStyle {
    bool json = false;
    bool quiet = false;    // no reasons on standard error
    bool verbose = false;  // the log lines of successful calls too
};

// Runs of more than one call end with a summary: a last result line, or a
// last JSON object {"summary":{"calls":N,"ok":N,"partial":N,"failed":N,
// "nothing-to-erase":N,"seconds":S}}. On a terminal (standard error a TTY,
// not JSON) a run of several calls also shows one progress line on standard
// error that is rewritten in place; failures are still printed in full, and
// successes too unless standard output is the terminal as well.
class Report {
public:
    explicit Report(ReportStyle style);

    // The number of calls the run will make, when known before it starts.
    void expect(size_t calls) { m_expected = calls; }

    // One call: `what` names it in a result line ("erase-backup /p"),
    // `subject` in a JSON object (the path, or the prune list).
    void add(const std::string& what, const std::string& subject, const CallResult& result);
    // A note on standard error, unless quiet or JSON.
    void note(const std::string& text) const;
    // Ends the run: the summary when it made more than one call.
    void finish();

    bool allOk() const { return m_allOk; }
    bool anyFailed() const { return m_anyFailed; }

private:
    void printJson(const std::string& subject, const CallResult& result) const;
    void printText(const std::string& what, const CallResult& result);
    void showProgress();
    void clearProgress();

    ReportStyle m_style;
    bool m_allOk = true;
    bool m_anyFailed = false;
    tqtool::ProgressLine m_progress;
    bool m_onTerminal = false;    // progress goes to standard error
    bool m_okAsProgress = false;  // successes shown only as progress
    size_t m_expected = 0;
    size_t m_counts[4] = {};  // by Outcome
    std::chrono::steady_clock::time_point m_started;
};
