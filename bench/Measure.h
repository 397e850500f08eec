// How every benchmark of this folder measures and reports: blocks of calls
// timed by the benchmark itself, per-repetition counters, and Markdown tables
// of the medians and spread that Google Benchmark aggregates over the
// repetitions.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "AllocationCounter.h"

namespace bench {

// Counters set once per repetition.
constexpr char kRate[] = "rate";                   // items per second (a pair's library side)
constexpr char kBaselineRate[] = "baseline_rate";  // a pair's baseline side, items per second
constexpr char kRelativeSpeed[] =
    "relative_speed";  // a pair: median of baseline time / library time
constexpr char kAllocations[] = "allocs_per_item";  // heap allocations of this thread per item
constexpr char kFloorRate[] = "floor_rate";         // a pair's second baseline, items per second
constexpr char kFloorRelativeSpeed[] = "floor_relative_speed";  // as kRelativeSpeed, against it

// Seconds that `runs` calls of `body` take.
template <typename Body>
double timed(int runs, Body&& body) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) {
        body();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The middle value (the mean of the two middle ones for an even count).
double median(std::vector<double> values);
void setAllocations(benchmark::State& state, uint64_t allocations, double items);

// One block per iteration: `block` handles `itemsPerBlock` items and returns
// the seconds it took (see timed()), so that a block can leave its own
// housekeeping out of the time.
template <typename Block>
void measure(benchmark::State& state, double itemsPerBlock, Block&& block) {
    const uint64_t allocations = threadAllocations();
    double seconds = 0;
    for (auto _ : state) {
        seconds += block();
    }
    const double items = itemsPerBlock * static_cast<double>(state.iterations());
    state.counters[kRate] = items / seconds;
    setAllocations(state, threadAllocations() - allocations, items);
}

// A block of the library and a block of its baseline per iteration, in turn
// (which goes first alternates); each returns its seconds and handles
// `itemsPerBlock` items. The ratio of the two times is taken per pair and its
// median reported: load that comes and goes more slowly than a block weighs on
// both halves of a pair alike, so the ratio holds where the two rates measured
// apart would not. Allocations are counted in the library's blocks only.
// A second baseline, `floor`, when given, runs on the library's other side
// (baseline, library, floor, then floor, library, baseline) and is reported
// in the floor counters the same way.
template <typename Library, typename Baseline>
void measurePaired(benchmark::State& state, double itemsPerBlock, Library&& library,
                   Baseline&& baseline, const std::function<double()>& floor = nullptr) {
    std::vector<double> ratios;
    std::vector<double> floorRatios;
    double librarySeconds = 0;
    double baselineSeconds = 0;
    double floorSeconds = 0;
    uint64_t allocations = 0;
    bool baselineFirst = false;
    for (auto _ : state) {
        double baselineTime = baselineFirst ? baseline() : 0;
        double floorTime = floor && !baselineFirst ? floor() : 0;
        const uint64_t before = threadAllocations();
        const double libraryTime = library();
        allocations += threadAllocations() - before;
        if (!baselineFirst) {
            baselineTime = baseline();
        }
        if (floor && baselineFirst) {
            floorTime = floor();
        }
        baselineFirst = !baselineFirst;
        ratios.push_back(baselineTime / libraryTime);
        floorRatios.push_back(floorTime / libraryTime);
        librarySeconds += libraryTime;
        baselineSeconds += baselineTime;
        floorSeconds += floorTime;
    }
    const double items = itemsPerBlock * static_cast<double>(state.iterations());
    state.counters[kRelativeSpeed] = median(ratios);
    state.counters[kRate] = items / librarySeconds;
    state.counters[kBaselineRate] = items / baselineSeconds;
    if (floor) {
        state.counters[kFloorRelativeSpeed] = median(floorRatios);
        state.counters[kFloorRate] = items / floorSeconds;
    }
    setAllocations(state, allocations, items);
}

// Registers a benchmark. An exception thrown by `function` ends it with its
// message as the error.
benchmark::internal::Benchmark* add(const std::string& name,
                                    std::function<void(benchmark::State&)> function);

// Google Benchmark's flags, after this folder's defaults (9 repetitions
// interleaved at random, 0.3 s each), so that flags given on the command
// line win. False when a flag is not understood.
bool initialize(int argc, char** argv);

// Keeps the statistics of every benchmark's counters over its repetitions;
// Google Benchmark's own lines go to standard error as the runs end.
class Results : public benchmark::ConsoleReporter {
public:
    Results();
    void ReportRuns(const std::vector<Run>& runs) override;

    // `statistic` ("median", "min", "max", "cv") of `counter` over the
    // repetitions of `name`; with one repetition, its value. NaN when it did
    // not run, failed or has no such counter.
    double get(const std::string& name, const std::string& counter,
               const std::string& statistic = "median") const;
    // Every benchmark that ran, by name: its rate (and a pair's baseline
    // rate) with the spread, and its heap allocations per item.
    void printRates(std::ostream& out) const;
    // A line for each benchmark that failed; true when none did.
    bool printErrors(std::ostream& out) const;

private:
    // name -> statistic ("" for a single repetition) -> counter -> value
    std::map<std::string, std::map<std::string, std::map<std::string, double>>> m_values;
    std::map<std::string, std::string> m_errors;
};

// A Markdown table.
class Table {
public:
    explicit Table(std::vector<std::string> headers) { m_rows.push_back(std::move(headers)); }
    void add(std::vector<std::string> cells) { m_rows.push_back(std::move(cells)); }
    void print(std::ostream& out) const;

private:
    std::vector<std::vector<std::string>> m_rows;
};

// Number formatting for the tables; NaN prints as "n/a".
std::string withSeparators(double value);       // 31234.6 -> "31,235"
std::string fixed(double value, int decimals);  // fixed(0.934, 2) -> "0.93"
std::string timePerItem(double perSecond);      // "32.1 µs", "850 ns", "2.70 ms"

// For main(): runs `run`, reporting an exception that escapes it.
int guardedMain(const char* program, int (*run)(int, char**), int argc, char** argv);

}  // namespace bench
