#include "statistics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quillmere::bench {
namespace {

double percentile(const std::vector<double>& sorted, double q) {
    const double rank = q * static_cast<double>(sorted.size() - 1);
    const auto low = static_cast<std::size_t>(std::floor(rank));
    const std::size_t high = std::min(low + 1, sorted.size() - 1);
    return sorted[low] + (sorted[high] - sorted[low]) * (rank - static_cast<double>(low));
}

}  // namespace

Summary summarise(std::vector<double> values) {
    Summary s;
    s.n = values.size();
    if (values.empty()) {
        s.mean = s.median = s.p10 = s.p90 = s.p95 = s.max = s.min = NAN;
        return s;
    }
    std::sort(values.begin(), values.end());
    double total = 0;
    for (const double v : values) total += v;
    s.mean = total / static_cast<double>(values.size());
    s.median = percentile(values, 0.5);
    s.p10 = percentile(values, 0.1);
    s.p90 = percentile(values, 0.9);
    s.p95 = percentile(values, 0.95);
    s.min = values.front();
    s.max = values.back();
    return s;
}

std::string fixed(double v, int decimals) {
    char text[64];
    (void)std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string spread(const Summary& s, int decimals) {
    return fixed(s.median, decimals) + " ms (p10 " + fixed(s.p10, decimals) + ", p90 " + fixed(s.p90, decimals) + ")";
}

}  // namespace quillmere::bench
