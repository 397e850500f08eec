// tqci_bench_core: the helper library's own cost per cached-path erase and per
// prune element, on the fake product layer (no network, no disk).
//
// The fake journals every call it takes, which costs time and allocations of
// its own. The same product calls are therefore also made without the library
// (FakeMirror) and timed the same way; the difference is the library's work.
// At start the program checks that the mirror makes exactly the calls the
// library makes, so that the difference stays honest when either changes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "FakeMirror.h"
#include "FakeProduct.h"
#include "Results.h"
#include "TQCIHelper.h"

namespace bench {
namespace {

using benchmark::State;

// Erases between two clearings of the fake's journal.
constexpr int kErasesPerBatch = 1000;
constexpr int kPruneElements = 10000;

class EraseHandle {
public:
    EraseHandle() : m_handle(initEraseCIHelper()) {}
    ~EraseHandle() { deInitEraseCIHelper(m_handle); }
    EraseHandle(const EraseHandle&) = delete;
    EraseHandle& operator=(const EraseHandle&) = delete;
    void erase() {
        if (eraseBackupData(m_handle, core::kCell, core::kClient, core::kAppType, core::kPath,
                            false) != 0) {
            throw std::runtime_error("eraseBackupData failed on the fake");
        }
    }

private:
    void* m_handle;
};

// Times `batch` (handling `itemsPerBatch` items) once per iteration and
// clears the journal after each, untimed.
template <typename Batch>
void measureBatches(State& state, double itemsPerBatch, Batch&& batch) {
    using Clock = std::chrono::steady_clock;
    double seconds = 0;
    uint64_t allocations = 0;
    try {
        for (auto _ : state) {
            const auto start = Clock::now();
            const AllocationScope counted;
            batch();
            allocations += counted.count();
            const std::chrono::duration<double> elapsed = Clock::now() - start;
            state.SetIterationTime(elapsed.count());
            seconds += elapsed.count();
            clearJournal();
        }
    } catch (const std::exception& failure) {
        state.SkipWithError(failure.what());
        return;
    }
    const double items = itemsPerBatch * static_cast<double>(state.iterations());
    state.counters[kRate] = items / seconds;
    state.counters[kAllocations] =
        allocationsCounted() ? static_cast<double>(allocations) / items : -1;
}

// Counter of the paired benchmarks: the library's own nanoseconds per item.
constexpr char kOwnNanoseconds[] = "own_ns_per_item";

// Times a batch through the library and a batch of the same product calls
// without it in turn (alternating which goes first, the journal cleared before
// each) and reports the median over the pairs of the difference per item.
// Load that comes and goes weighs on both batches of a pair alike.
template <typename Library, typename Fake>
void measureOwnCost(State& state, double itemsPerBatch, Library&& library, Fake&& fake) {
    using Clock = std::chrono::steady_clock;
    const auto timed = [](auto& batch) {
        clearJournal();
        const auto start = Clock::now();
        batch();
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    std::vector<double> differences;
    bool libraryFirst = true;
    try {
        for (auto _ : state) {
            double libraryTime = 0;
            double fakeTime = 0;
            if (libraryFirst) {
                libraryTime = timed(library);
                fakeTime = timed(fake);
            } else {
                fakeTime = timed(fake);
                libraryTime = timed(library);
            }
            libraryFirst = !libraryFirst;
            differences.push_back((libraryTime - fakeTime) * 1e9 / itemsPerBatch);
            state.SetIterationTime(libraryTime + fakeTime);
        }
    } catch (const std::exception& failure) {
        state.SkipWithError(failure.what());
        return;
    }
    clearJournal();
    state.counters[kOwnNanoseconds] = median(differences);
}

void eraseLibrary(State& state) {
    scriptCoreWorld();
    EraseHandle handle;
    handle.erase();  // attaches: the batches take the cached path
    clearJournal();
    measureBatches(state, kErasesPerBatch, [&] {
        for (int i = 0; i < kErasesPerBatch; ++i) handle.erase();
    });
}

// The log lines of one cached library erase, for the mirror to write.
std::vector<std::string> linesOfOneErase() {
    scriptCoreWorld();
    EraseHandle handle;
    handle.erase();
    clearJournal();
    handle.erase();
    return fake::world().logLines;
}

void eraseFakeAlone(State& state) {
    const std::vector<std::string> lines = linesOfOneErase();
    EraseMirror mirror(lines, core::kServerHost, core::kPath);
    clearJournal();
    measureBatches(state, kErasesPerBatch, [&] {
        for (int i = 0; i < kErasesPerBatch; ++i) mirror.run();
    });
}

void eraseOwnCost(State& state) {
    EraseMirror mirror(linesOfOneErase(), core::kServerHost, core::kPath);
    scriptCoreWorld();
    EraseHandle handle;
    handle.erase();
    measureOwnCost(
        state, kErasesPerBatch,
        [&] {
            for (int i = 0; i < kErasesPerBatch; ++i) handle.erase();
        },
        [&] {
            for (int i = 0; i < kErasesPerBatch; ++i) mirror.run();
        });
}

void pruneLibrary(State& state) {
    scriptCoreWorld();
    std::vector<_PruneElem> elements = corePruneElements(kPruneElements);
    CIAFPruner pruner;
    measureBatches(state, kPruneElements, [&] {
        if (pruner.PruneCIDocs(elements) != 0) throw std::runtime_error("PruneCIDocs failed");
    });
}

void pruneFakeAlone(State& state) {
    const bool cellLookupPerElement = libraryLooksUpCellPerElement();
    scriptCoreWorld();
    const std::vector<_PruneElem> elements = corePruneElements(kPruneElements);
    PruneElementMirror mirror(core::kServerHost, core::kServerClient, cellLookupPerElement);
    measureBatches(state, kPruneElements, [&] {
        for (const _PruneElem& element : elements) mirror.run(element);
    });
}

void pruneOwnCost(State& state) {
    const bool cellLookupPerElement = libraryLooksUpCellPerElement();
    scriptCoreWorld();
    std::vector<_PruneElem> elements = corePruneElements(kPruneElements);
    CIAFPruner pruner;
    PruneElementMirror mirror(core::kServerHost, core::kServerClient, cellLookupPerElement);
    measureOwnCost(
        state, kPruneElements,
        [&] {
            if (pruner.PruneCIDocs(elements) != 0) throw std::runtime_error("PruneCIDocs failed");
        },
        [&] {
            for (const _PruneElem& element : elements) mirror.run(element);
        });
}

// ---- tables -----------------------------------------------------------------

struct Difference {
    Spread library;
    Spread fake;
    double nanoseconds = 0;  // per item, library minus fake
    double allocations = 0;  // per item, library minus fake
};

Difference difference(const ResultCollector& results, const std::string& library,
                      const std::string& fake) {
    Difference d;
    d.library = results.rate(library);
    d.fake = results.rate(fake);
    d.nanoseconds = d.library.median > 0 && d.fake.median > 0
                        ? 1e9 / d.library.median - 1e9 / d.fake.median
                        : std::nan("");
    const std::vector<double> libraryAllocations = results.values(library, kAllocations);
    const std::vector<double> fakeAllocations = results.values(fake, kAllocations);
    d.allocations = !libraryAllocations.empty() && !fakeAllocations.empty() &&
                            libraryAllocations.front() >= 0
                        ? median(libraryAllocations) - median(fakeAllocations)
                        : std::nan("");
    return d;
}

std::string nanoseconds(double perSecond) { return perSecond > 0 ? fixed(1e9 / perSecond, 0) : "-"; }

void addRows(Table& table, const ResultCollector& results, const std::string& what,
             const std::string& library, const std::string& fake, const std::string& paired,
             const Difference& d) {
    const auto row = [&](const std::string& label, const std::string& name, const Spread& spread) {
        const std::vector<double> allocations = results.values(name, kAllocations);
        table.add({label, nanoseconds(spread.median),
                   nanoseconds(spread.max) + " – " + nanoseconds(spread.min),
                   fixed(spread.cvPercent, 1) + " %",
                   allocations.empty() || allocations.front() < 0 ? "n/a"
                                                                  : fixed(median(allocations), 4)});
    };
    row(what + ": library on the fake", library, d.library);
    row(what + ": the same product calls, fake alone", fake, d.fake);
    const Spread own = summarize(results.values(paired, kOwnNanoseconds));
    table.add({what + ": the library's own work (paired batches)", fixed(own.median, 0),
               own.count > 0 ? fixed(own.min, 0) + " – " + fixed(own.max, 0) : "", "",
               std::isnan(d.allocations) ? "n/a" : fixed(d.allocations, 4)});
}

double ownNanoseconds(const ResultCollector& results, const std::string& paired) {
    const std::vector<double> values = results.values(paired, kOwnNanoseconds);
    return values.empty() ? std::nan("") : median(values);
}

// Allocations per call to two decimals: the few allocations a run makes once
// (the fake's journal growing to its size) vanish, any made per call stay.
double perCall(double allocations) { return std::round(allocations * 100) / 100; }

void printTables(const ResultCollector& results) {
    const Difference erase = difference(results, "core/erase/library", "core/erase/fake_alone");
    const Difference prune = difference(results, "core/prune/library", "core/prune/fake_alone");
    std::cout << "\n## The library's own cost (fake product layer)\n\n";
    Table table({"per item", "ns (median)", "ns (min – max)", "CV", "heap allocs"});
    addRows(table, results, "cached erase", "core/erase/library", "core/erase/fake_alone",
            "core/erase/own_cost", erase);
    addRows(table, results, "prune element", "core/prune/library", "core/prune/fake_alone",
            "core/prune/own_cost", prune);
    table.print(std::cout);
    std::cout << "\n## Targets\n\n";
    printVerdicts(std::cout,
                  {{"library's own ns per cached erase (log write excluded)",
                    ownNanoseconds(results, "core/erase/own_cost"), Relation::AtMost, 1000,
                    "paired batches; apart: " + fixed(erase.nanoseconds, 0)},
                   {"allocations by the library per cached erase beyond the path copy",
                    perCall(erase.allocations) - 1, Relation::AtMost, 0, "one path copy per server"}});
}

void registerBenchmarks() {
    const auto add = [](const char* name, void (*function)(State&)) {
        auto* benchmark = benchmark::RegisterBenchmark(name, function);
        benchmark->UseManualTime()->Unit(benchmark::kMicrosecond);
        addSpreadStatistics(benchmark);
    };
    add("core/erase/library", eraseLibrary);
    add("core/erase/fake_alone", eraseFakeAlone);
    add("core/prune/library", pruneLibrary);
    add("core/prune/fake_alone", pruneFakeAlone);
    add("core/erase/own_cost", eraseOwnCost);
    add("core/prune/own_cost", pruneOwnCost);
}

int run(int argc, char** argv) {
    std::vector<std::string> defaults = {"--benchmark_repetitions=9",
                                         "--benchmark_enable_random_interleaving=true",
                                         "--benchmark_min_time=0.3"};
    std::vector<char*> arguments = {argv[0]};
    for (std::string& flag : defaults) arguments.push_back(flag.data());
    for (int i = 1; i < argc; ++i) arguments.push_back(argv[i]);
    arguments.push_back(nullptr);
    int count = static_cast<int>(arguments.size()) - 1;
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 2;
    const std::string mismatch = eraseMirrorMismatch() + pruneMirrorMismatch();
    if (!mismatch.empty()) {
        std::cerr << mismatch;
        return 1;
    }

    registerBenchmarks();
    ResultCollector results;
    benchmark::RunSpecifiedBenchmarks(&results);
    printTables(results);
    for (const auto& [name, message] : results.errors()) {
        std::cout << "FAILED: " << name << ": " << message << "\n";
    }
    benchmark::Shutdown();
    return results.errors().empty() ? 0 : 1;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    try {
        return bench::run(argc, argv);
    } catch (const std::exception& failure) {
        std::cerr << "tqci_bench_core: " << failure.what() << "\n";
        return 1;
    }
}
