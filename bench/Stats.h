// Summary statistics of a benchmark's repetitions.
#pragma once

#include <cstddef>
#include <vector>

namespace bench {

struct Spread {
    size_t count = 0;
    double median = 0;
    double min = 0;
    double max = 0;
    // Coefficient of variation (sample standard deviation over mean), in per cent.
    double cvPercent = 0;
};

// The middle value; the mean of the two middle values for an even count; 0
// for no values.
double median(std::vector<double> values);
Spread summarize(const std::vector<double>& values);

}  // namespace bench
