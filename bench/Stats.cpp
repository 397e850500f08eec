#include "Stats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace bench {

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    const size_t middle = values.size() / 2;
    const auto middleAt = values.begin() + static_cast<std::ptrdiff_t>(middle);
    std::nth_element(values.begin(), middleAt, values.end());
    const double upper = *middleAt;
    if (values.size() % 2 == 1) return upper;
    // nth_element leaves the lower half in front: its largest is the other middle.
    const double lower = *std::max_element(values.begin(), middleAt);
    return (lower + upper) / 2;
}

Spread summarize(const std::vector<double>& values) {
    Spread spread;
    spread.count = values.size();
    if (values.empty()) return spread;
    spread.median = median(values);
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    spread.min = *low;
    spread.max = *high;
    if (values.size() > 1) {
        const auto count = static_cast<double>(values.size());
        const double mean = std::accumulate(values.begin(), values.end(), 0.0) / count;
        double squares = 0;
        for (double value : values) squares += (value - mean) * (value - mean);
        const double deviation = std::sqrt(squares / (count - 1));
        spread.cvPercent = mean != 0 ? 100 * deviation / mean : 0;
    }
    return spread;
}

}  // namespace bench
