// The measuring loop every benchmark of this folder runs: wall time of the
// loop, items per second and heap allocations per item, set as the counters
// the result tables read.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <exception>
#include <vector>

#include "AllocationCounter.h"
#include "Results.h"
#include "Stats.h"

namespace bench {

// Runs `body` once per iteration; each run handles `itemsPerIteration`
// items. `body` throws (std::exception) to report a failure, which ends the
// benchmark with that error.
template <typename Body>
void measure(benchmark::State& state, double itemsPerIteration, Body&& body) {
    using Clock = std::chrono::steady_clock;
    AllocationScope allocations;
    const auto start = Clock::now();
    try {
        for (auto _ : state) body();
    } catch (const std::exception& failure) {
        state.SkipWithError(failure.what());
        return;
    }
    const std::chrono::duration<double> elapsed = Clock::now() - start;
    const double items = itemsPerIteration * static_cast<double>(state.iterations());
    state.counters[kRate] = items / elapsed.count();
    state.counters[kAllocations] =
        allocationsCounted() ? static_cast<double>(allocations.count()) / items : -1;
}

// Ratio counter of the paired benchmarks: the library's speed relative to its
// baseline (baseline time / library time for the same number of items).
constexpr char kPairedRatio[] = "relative_speed";

// The alternation of measurePaired() below, for blocks that report their own
// seconds: each call of `library` and `baseline` runs one block and returns
// how long it took (for a baseline measured by another program, the time its
// figure implies).
template <typename Library, typename Baseline>
void measurePairedBlocks(benchmark::State& state, double itemsPerBlock, Library&& library,
                         Baseline&& baseline) {
    std::vector<double> ratios;
    double librarySeconds = 0;
    bool libraryFirst = true;
    try {
        for (auto _ : state) {
            double libraryTime = 0;
            double baselineTime = 0;
            if (libraryFirst) {
                libraryTime = library();
                baselineTime = baseline();
            } else {
                baselineTime = baseline();
                libraryTime = library();
            }
            libraryFirst = !libraryFirst;
            ratios.push_back(baselineTime / libraryTime);
            librarySeconds += libraryTime;
        }
    } catch (const std::exception& failure) {
        state.SkipWithError(failure.what());
        return;
    }
    const double items = itemsPerBlock * static_cast<double>(state.iterations());
    state.counters[kPairedRatio] = median(ratios);
    state.counters[kRate] = items / librarySeconds;
}

// Runs blocks of `library` and of `baseline` in turn, each block `runs` calls
// of each (alternating which goes first), and reports the median over the
// blocks of baseline time / library time. Load that comes and goes more slowly
// than a block weighs on both halves of a pair alike, so the ratio stays
// steady where the two rates measured apart would not. `itemsPerRun` sets
// the library's rate counter.
template <typename Library, typename Baseline>
void measurePaired(benchmark::State& state, int runs, double itemsPerRun, Library&& library,
                   Baseline&& baseline) {
    using Clock = std::chrono::steady_clock;
    const auto timed = [runs](auto& body) {
        const auto start = Clock::now();
        for (int i = 0; i < runs; ++i) body();
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    measurePairedBlocks(
        state, itemsPerRun * runs, [&] { return timed(library); }, [&] { return timed(baseline); });
}

// Reports a rate measured elsewhere (another program's own figure).
inline void reportRate(benchmark::State& state, double perSecond) {
    state.counters[kRate] = perSecond;
}

}  // namespace bench
