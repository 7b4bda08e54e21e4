#include "stop_reaction_svg.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "children/core.hpp"

namespace quillmere::bench {

std::string write_stop_reaction_svg(const std::string& out_dir, const StopReaction& s) {
    std::error_code ignored;
    std::filesystem::create_directories(out_dir, ignored);
    std::string path = out_dir + "/stop-reaction.svg";
    const double width = 640;
    const double height = 400;
    const double left = 60;
    const double right = 20;
    const double top = 40;
    const double bottom = 50;
    double highest = 0;
    for (const auto* series : {&s.marker, &s.link})
        for (const double v : *series) highest = std::max(highest, v);
    const double period = ms(kStopPollPeriod);
    const double x_max = std::max(period * 1.2, std::ceil(highest / 20.0) * 20.0);
    const auto x = [&](double v) { return left + v / x_max * (width - left - right); };
    const auto y = [&](double f) { return height - bottom - f * (height - top - bottom); };

    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << left << "\" y=\"22\" font-size=\"14\">Stop reaction: stop asked to SIGTERM at the core "
        << "(cumulative share of trials)</text>\n";
    for (int step = 0; step * 20.0 <= x_max + 1e-9; ++step) {
        const double v = step * 20.0;
        svg << "<line x1=\"" << x(v) << "\" y1=\"" << y(0) << "\" x2=\"" << x(v) << "\" y2=\"" << y(1)
            << "\" stroke=\"#ddd\"/>\n<text x=\"" << x(v) << "\" y=\"" << y(0) + 16 << "\" text-anchor=\"middle\">" << v
            << "</text>\n";
    }
    for (int q = 0; q <= 4; ++q) {
        const double f = q / 4.0;
        svg << "<line x1=\"" << x(0) << "\" y1=\"" << y(f) << "\" x2=\"" << x(x_max) << "\" y2=\"" << y(f)
            << "\" stroke=\"#ddd\"/>\n<text x=\"" << x(0) - 6 << "\" y=\"" << y(f) + 4 << "\" text-anchor=\"end\">"
            << q * 25 << "%</text>\n";
    }
    svg << "<text x=\"" << (left + width - right) / 2 << "\" y=\"" << height - 12
        << "\" text-anchor=\"middle\">milliseconds</text>\n"
        << "<line x1=\"" << x(period) << "\" y1=\"" << y(0) << "\" x2=\"" << x(period) << "\" y2=\"" << y(1)
        << "\" stroke=\"#888\" stroke-dasharray=\"4 3\"/>\n<text x=\"" << x(period) + 4 << "\" y=\"" << y(1) + 12
        << "\" fill=\"#666\">poll period</text>\n";
    const struct {
        const std::vector<double>* values;
        const char* name;
        const char* colour;
    } series[] = {{&s.marker, "stop marker", "#1f77b4"}, {&s.link, "link closed", "#d62728"}};
    int row = 0;
    for (const auto& one : series) {
        std::vector<double> sorted = *one.values;
        std::sort(sorted.begin(), sorted.end());
        if (sorted.empty()) continue;
        svg << "<path fill=\"none\" stroke=\"" << one.colour << "\" stroke-width=\"2\" d=\"M" << x(0) << " " << y(0);
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            svg << " H" << x(sorted[i]) << " V" << y(static_cast<double>(i + 1) / static_cast<double>(sorted.size()));
        }
        svg << " H" << x(x_max) << "\"/>\n";
        const Summary sum = summarise(sorted);
        svg << "<text x=\"" << x(2) << "\" y=\"" << y(1) + 28 + 16 * row << "\" fill=\"" << one.colour << "\">"
            << one.name << ": n=" << sum.n << ", mean " << fixed(sum.mean, 1) << " ms, p95 " << fixed(sum.p95, 1)
            << " ms, max " << fixed(sum.max, 1) << " ms</text>\n";
        ++row;
    }
    svg << "</svg>\n";
    std::ofstream(path) << svg.str();
    return path;
}

}  // namespace quillmere::bench
