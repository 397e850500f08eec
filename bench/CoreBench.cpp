// tqci_bench_core: the helper library linked with the fake product layer, as
// the unit tests link it, so that no network, disk or log write is timed:
// nanoseconds and heap allocations per cached-path erase and per prune
// element. The fake's journal is turned off (no call recorded, no log line
// formatted), so the figures are the library's own work and the fake's
// scripted answers.
#include <benchmark/benchmark.h>

#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeProduct.h"
#include "Measure.h"
#include "TQCIHelper.h"
#include "World.h"

namespace bench {
namespace {

using benchmark::State;

constexpr int kErasesPerBlock = 1000;

// The world of World.h, with cloud 1's server at "host-101".
void scriptWorld() {
    fake::reset();
    fake::addCell(kCellId, kCellNumber);
    fake::world().clientEngines[{kOneServerClient, kAppType}].engineIds = {1};
    fake::addCloudServedBy(1, serverOfCloud(1));
    fake::addClient(serverOfCloud(1), kCellId);
    fake::world().journaling = false;
}

template <typename Block>
void measureOnFake(State& state, double itemsPerBlock, Block&& block) {
    measure(state, itemsPerBlock, [&] { return timed(1, block); });
}

void cachedErase(State& state) {
    scriptWorld();
    const std::unique_ptr<void, void (*)(void*)> handle(initEraseCIHelper(), deInitEraseCIHelper);
    const auto erase = [&handle] {
        if (eraseBackupData(handle.get(), kCellId, kOneServerClient, kAppType, kErasePath, false) !=
            0) {
            throw std::runtime_error("eraseBackupData failed on the fake");
        }
    };
    erase();  // attaches: the blocks take the cached path
    measureOnFake(state, kErasesPerBlock, [&] {
        for (int i = 0; i < kErasesPerBlock; ++i) {
            erase();
        }
    });
}

void pruneElement(State& state) {
    scriptWorld();
    std::vector<_PruneElem> elements;
    for (int i = 0; i < kPruneElements; ++i) {
        elements.push_back(_PruneElem{kCellNumber, i + 1, 1, 0, 0, 0});
    }
    CIAFPruner pruner;
    measureOnFake(state, kPruneElements, [&] {
        if (pruner.PruneCIDocs(elements) != 0) {
            throw std::runtime_error("PruneCIDocs failed on the fake");
        }
    });
}

int run(int argc, char** argv) {
    if (!initialize(argc, argv)) {
        return 2;
    }
    add("core/erase/cached", cachedErase);
    add("core/prune/element", pruneElement);
    Results results;
    benchmark::RunSpecifiedBenchmarks(&results);
    std::cout << "\n## The library on the fake product layer (its journal off)\n\n";
    results.printRates(std::cout);
    const bool ran = results.printErrors(std::cout);
    benchmark::Shutdown();
    return ran ? 0 : 1;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    return bench::guardedMain("tqci_bench_core", bench::run, argc, argv);
}
