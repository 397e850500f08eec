#include "Measure.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>

namespace bench {

double median(std::vector<double> values) {
    if (values.empty()) {
        return std::nan("");
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2 == 1) {
        return *middle;
    }
    // nth_element leaves the lower half in front: its largest is the other middle.
    return (*std::max_element(values.begin(), middle) + *middle) / 2;
}

void setAllocations(benchmark::State& state, uint64_t allocations, double items) {
    if (allocationsCounted()) {
        state.counters[kAllocations] = static_cast<double>(allocations) / items;
    }
}

benchmark::internal::Benchmark* add(const std::string& name,
                                    std::function<void(benchmark::State&)> function) {
    auto* benchmark =
        benchmark::RegisterBenchmark(name.c_str(), [function](benchmark::State& state) {
            try {
                function(state);
            } catch (const std::exception& failure) {
                state.SkipWithError(failure.what());
            }
        });
    const auto lowest = [](const std::vector<double>& v) {
        return *std::min_element(v.begin(), v.end());
    };
    const auto highest = [](const std::vector<double>& v) {
        return *std::max_element(v.begin(), v.end());
    };
    benchmark->UseRealTime()->Unit(benchmark::kMicrosecond);
    benchmark->ComputeStatistics("min", lowest)->ComputeStatistics("max", highest);
    return benchmark;
}

bool initialize(int argc, char** argv) {
    static std::vector<std::string> defaults = {"--benchmark_repetitions=9",
                                                "--benchmark_enable_random_interleaving=true",
                                                "--benchmark_min_time=0.3"};
    static std::vector<char*> arguments;
    arguments = {argv[0]};
    for (std::string& flag : defaults) {
        arguments.push_back(flag.data());
    }
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(argv[i]);
    }
    arguments.push_back(nullptr);
    int count = static_cast<int>(arguments.size()) - 1;
    benchmark::Initialize(&count, arguments.data());
    return !benchmark::ReportUnrecognizedArguments(count, arguments.data());
}

Results::Results() : ConsoleReporter(OO_Tabular) {
    SetOutputStream(&std::cerr);
    SetErrorStream(&std::cerr);
}

void Results::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        const std::string& name = run.run_name.function_name;
        if (run.error_occurred) {
            m_errors[name] = run.error_message;
            continue;
        }
        const bool aggregate = run.run_type == Run::RT_Aggregate;
        if (!aggregate && run.repetitions > 1) {
            continue;  // the aggregates tell
        }
        auto& counters = m_values[name][aggregate ? run.aggregate_name : ""];
        for (const auto& [counter, value] : run.counters) {
            counters[counter] = value.value;
        }
    }
    ConsoleReporter::ReportRuns(runs);
}

double Results::get(const std::string& name, const std::string& counter,
                    const std::string& statistic) const {
    const double none = std::nan("");
    const auto found = m_values.find(name);
    if (found == m_values.end() || m_errors.count(name) != 0) {
        return none;
    }
    auto statistics = found->second.find(statistic);
    if (statistics == found->second.end()) {
        statistics = found->second.find("");  // one repetition: its value is every statistic
        if (statistics == found->second.end() || statistic == "cv") {
            return none;
        }
    }
    const auto value = statistics->second.find(counter);
    return value == statistics->second.end() ? none : value->second;
}

void Table::print(std::ostream& out) const {
    // Widths in characters, so that "µ" and "–" count once.
    const auto width = [](const std::string& text) {
        return static_cast<size_t>(
            std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
    };
    std::vector<size_t> widths(m_rows.front().size(), 3);
    for (const auto& row : m_rows) {
        for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
            widths[i] = std::max(widths[i], width(row[i]));
        }
    }
    for (size_t r = 0; r < m_rows.size(); ++r) {
        out << '|';
        for (size_t i = 0; i < widths.size(); ++i) {
            const std::string cell = i < m_rows[r].size() ? m_rows[r][i] : "";
            out << ' ' << cell << std::string(widths[i] - width(cell), ' ') << " |";
        }
        out << '\n';
        if (r > 0) {
            continue;
        }
        out << '|';
        for (size_t w : widths) {
            out << std::string(w + 2, '-') << '|';
        }
        out << '\n';
    }
}

std::string withSeparators(double value) {
    if (!std::isfinite(value)) {
        return "n/a";
    }
    std::string digits = std::to_string(std::llround(std::fabs(value)));
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(at, ",");
    }
    return value <= -0.5 ? "-" + digits : digits;
}

std::string fixed(double value, int decimals) {
    if (!std::isfinite(value)) {
        return "n/a";
    }
    char text[64];
    (void)std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string timePerItem(double perSecond) {
    if (!(perSecond > 0)) {
        return "n/a";
    }
    const double nanoseconds = 1e9 / perSecond;
    if (nanoseconds < 1000) {
        return fixed(nanoseconds, 0) + " ns";
    }
    if (nanoseconds < 1e6) {
        return fixed(nanoseconds / 1e3, nanoseconds < 1e5 ? 1 : 0) + " µs";
    }
    return fixed(nanoseconds / 1e6, 2) + " ms";
}

void Results::printRates(std::ostream& out) const {
    Table table({"case", "items/s", "min – max", "CV", "per item", "heap allocs/item"});
    for (const auto& entry : m_values) {
        const std::string& name = entry.first;
        for (const std::string counter : {kRate, kBaselineRate, kFloorRate}) {
            const double rate = get(name, counter);
            if (std::isnan(rate)) {
                continue;
            }
            const bool baseline = counter != kRate;
            const double cv = get(name, counter, "cv");
            const char* side = counter == kFloorRate ? " (floor baseline)" : " (baseline)";
            table.add({baseline ? name + side : name, withSeparators(rate),
                       withSeparators(get(name, counter, "min")) + " – " +
                           withSeparators(get(name, counter, "max")),
                       std::isnan(cv) ? "n/a" : fixed(100 * cv, 1) + " %", timePerItem(rate),
                       baseline ? "" : fixed(get(name, kAllocations), 3)});
        }
    }
    table.print(out);
}

bool Results::printErrors(std::ostream& out) const {
    for (const auto& [name, message] : m_errors) {
        out << "FAILED: " << name << ": " << message << "\n";
    }
    return m_errors.empty();
}

int guardedMain(const char* program, int (*run)(int, char**), int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& failure) {
        std::cerr << program << ": " << failure.what() << "\n";
        return 1;
    }
}

}  // namespace bench
