#pragma once
// Summaries of a series of samples, and the figures' text.

#include <cstddef>
#include <string>
#include <vector>

#include "linux/deadline.hpp"

namespace quillmere::bench {

struct Summary {
    std::size_t n = 0;
    double mean = 0, median = 0, p10 = 0, p90 = 0, p95 = 0, max = 0, min = 0;
};

// All NaN but n for no samples; percentiles by linear interpolation between the closest ranks.
[[nodiscard]] Summary summarise(std::vector<double> values);

[[nodiscard]] inline double ms(Nanoseconds n) { return static_cast<double>(n) / 1e6; }

[[nodiscard]] std::string fixed(double v, int decimals = 3);

// "median ms (p10 ..., p90 ...)"
[[nodiscard]] std::string spread(const Summary& s, int decimals = 3);

}  // namespace quillmere::bench
