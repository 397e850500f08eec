// Collecting the repetitions of every benchmark and printing them as
// Markdown tables: medians, spread and the ratios the performance targets
// are stated in.
#pragma once

#include <benchmark/benchmark.h>

#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "Stats.h"

namespace bench {

// Counters the benchmarks set. Items per second (an exchange, a prune
// element, an attach, an erase confirmed by a server, a log line).
constexpr char kRate[] = "rate";
// Heap allocations of the benchmark's thread per item.
constexpr char kAllocations[] = "allocs_per_item";

// Registers the statistics shown beside the usual ones (min and max).
void addSpreadStatistics(benchmark::internal::Benchmark* benchmark);

// The console reporter that also keeps every repetition's counters. Only the
// aggregates are printed as the benchmarks run; the individual repetitions
// feed the tables.
class ResultCollector : public benchmark::ConsoleReporter {
public:
    // Progress goes to standard error, without colours; the tables go to
    // standard output.
    ResultCollector();
    void ReportRuns(const std::vector<Run>& runs) override;

    bool has(const std::string& benchmark) const;
    // Values of `counter` over the repetitions of `benchmark` (by its name as
    // registered); empty when it did not run or failed.
    std::vector<double> values(const std::string& benchmark, const std::string& counter) const;
    Spread rate(const std::string& benchmark) const { return summarize(values(benchmark, kRate)); }
    Spread allocations(const std::string& benchmark) const {
        return summarize(values(benchmark, kAllocations));
    }
    // Benchmarks that reported an error, with the message.
    const std::map<std::string, std::string>& errors() const { return m_errors; }

private:
    std::map<std::string, std::map<std::string, std::vector<double>>> m_values;
    std::map<std::string, std::string> m_errors;
};

// A Markdown table.
class Table {
public:
    explicit Table(std::vector<std::string> headers) : m_headers(std::move(headers)) {}
    void add(std::vector<std::string> cells) { m_rows.push_back(std::move(cells)); }
    void print(std::ostream& out) const;

private:
    std::vector<std::string> m_headers;
    std::vector<std::vector<std::string>> m_rows;
};

// Number formatting for the tables.
std::string withSeparators(double value);       // 31234.6 -> "31,235"
std::string fixed(double value, int decimals);   // fixed(0.934, 2) -> "0.93"; NaN -> "n/a"
// The time one item takes at `perSecond`: "32.1 µs", "850 ns", "2.70 ms".
std::string timePerItem(double perSecond);
// A rate with its spread: median, "min – max", CV.
std::vector<std::string> rateCells(const Spread& spread);

enum class Relation { AtLeast, AtMost };

// One target line: the measured value against its bound.
struct Verdict {
    std::string what;
    double value = 0;
    Relation relation = Relation::AtLeast;
    double bound = 0;
    std::string comment;

    bool met() const { return relation == Relation::AtLeast ? value >= bound : value <= bound; }
};

void printVerdicts(std::ostream& out, const std::vector<Verdict>& verdicts);

}  // namespace bench
