#include "Results.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <ostream>

namespace bench {

void addSpreadStatistics(benchmark::internal::Benchmark* benchmark) {
    benchmark->ComputeStatistics("min", [](const std::vector<double>& v) {
        return *std::min_element(v.begin(), v.end());
    });
    benchmark->ComputeStatistics("max", [](const std::vector<double>& v) {
        return *std::max_element(v.begin(), v.end());
    });
}

ResultCollector::ResultCollector() : ConsoleReporter(OO_Tabular) {
    SetOutputStream(&std::cerr);
    SetErrorStream(&std::cerr);
}

void ResultCollector::ReportRuns(const std::vector<Run>& runs) {
    std::vector<Run> shown;
    for (const Run& run : runs) {
        const std::string& name = run.run_name.function_name;
        if (run.error_occurred) {
            m_errors[name] = run.error_message;
            shown.push_back(run);
            continue;
        }
        // Aggregates are shown; single repetitions only when there is
        // nothing to aggregate.
        if (run.run_type == Run::RT_Aggregate || run.repetitions <= 1) shown.push_back(run);
        if (run.run_type == Run::RT_Aggregate) continue;
        for (const auto& [counter, value] : run.counters) {
            m_values[name][counter].push_back(value.value);
        }
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
}

bool ResultCollector::has(const std::string& benchmark) const {
    return !values(benchmark, kRate).empty();
}

std::vector<double> ResultCollector::values(const std::string& benchmark,
                                            const std::string& counter) const {
    if (m_errors.count(benchmark) != 0) return {};
    const auto found = m_values.find(benchmark);
    if (found == m_values.end()) return {};
    const auto series = found->second.find(counter);
    return series == found->second.end() ? std::vector<double>() : series->second;
}

void Table::print(std::ostream& out) const {
    std::vector<size_t> widths(m_headers.size(), 3);
    // Widths in characters, so that "µ" counts once.
    const auto width = [](const std::string& text) {
        return static_cast<size_t>(std::count_if(text.begin(), text.end(),
                                                 [](char c) { return (c & 0xC0) != 0x80; }));
    };
    for (size_t i = 0; i < m_headers.size(); ++i) widths[i] = std::max(widths[i], width(m_headers[i]));
    for (const auto& row : m_rows) {
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            widths[i] = std::max(widths[i], width(row[i]));
        }
    }
    const auto line = [&](const std::vector<std::string>& cells) {
        out << '|';
        for (size_t i = 0; i < widths.size(); ++i) {
            const std::string cell = i < cells.size() ? cells[i] : "";
            out << ' ' << cell << std::string(widths[i] - width(cell), ' ') << " |";
        }
        out << '\n';
    };
    line(m_headers);
    out << '|';
    for (size_t w : widths) out << std::string(w + 2, '-') << '|';
    out << '\n';
    for (const auto& row : m_rows) line(row);
}

std::string withSeparators(double value) {
    const long long rounded = std::llround(value);
    std::string digits = std::to_string(rounded < 0 ? -rounded : rounded);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
    return rounded < 0 ? "-" + digits : digits;
}

std::string fixed(double value, int decimals) {
    if (!std::isfinite(value)) return "n/a";
    // Values that round to zero print without a sign.
    if (std::fabs(value) < 0.5 * std::pow(10.0, -decimals)) value = 0;
    char text[64];
    (void)std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string timePerItem(double perSecond) {
    if (perSecond <= 0) return "-";
    const double nanoseconds = 1e9 / perSecond;
    if (nanoseconds < 1000) return fixed(nanoseconds, nanoseconds < 10 ? 1 : 0) + " ns";
    if (nanoseconds < 1e6) return fixed(nanoseconds / 1e3, nanoseconds < 1e5 ? 1 : 0) + " µs";
    return fixed(nanoseconds / 1e6, 2) + " ms";
}

std::vector<std::string> rateCells(const Spread& spread) {
    if (spread.count == 0) return {"not run", "", "", ""};
    return {withSeparators(spread.median),
            withSeparators(spread.min) + " – " + withSeparators(spread.max),
            fixed(spread.cvPercent, 1) + " %", timePerItem(spread.median)};
}

void printVerdicts(std::ostream& out, const std::vector<Verdict>& verdicts) {
    Table table({"target", "measured", "bound", "met", "note"});
    for (const Verdict& verdict : verdicts) {
        const std::string bound =
            (verdict.relation == Relation::AtLeast ? "≥ " : "≤ ") + fixed(verdict.bound, 2);
        const bool known = std::isfinite(verdict.value);
        table.add({verdict.what, known ? fixed(verdict.value, 2) : "n/a", bound,
                   known ? (verdict.met() ? "yes" : "NO") : "n/a", verdict.comment});
    }
    table.print(out);
}

}  // namespace bench
