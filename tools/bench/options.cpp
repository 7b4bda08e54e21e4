#include "options.hpp"

#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace quillmere::bench {

const char* const kUsage =
    "usage: quillmere-bench [--runs N] [--overhead-trials N] [--trials N] [--seconds S]\n"
    "                       [--supervisor PATH] [--baseline PATH] [--dir DIR] [--out DIR]\n"
    "                       [--sched fifo|normal]\n"
    "  --runs N             start-up runs of --version, check-app-routing and the baseline (300)\n"
    "  --overhead-trials N  supervised runs for the run-mode overhead, each beside a bare one (20)\n"
    "  --trials N           stop trials per kind, stop marker and closed link (50)\n"
    "  --seconds S          how long the standing cost is watched while the core runs (10)\n"
    "  --supervisor PATH    the supervisor to measure (the one built beside this program)\n"
    "  --baseline PATH      the program its start-up is compared with (/bin/true)\n"
    "  --dir DIR            where the state directories go (/dev/shm)\n"
    "  --out DIR            where the SVG goes (bench/ beside this program)\n"
    "  --sched fifo|normal  scheduling class of the benchmark and all it starts (fifo)\n";

std::string own_directory() {
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path().string();
}

std::optional<Options> parse_options(int argc, char** argv) {
    Options o;
    o.out = own_directory() + "/bench";
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (i + 1 >= argc) return std::nullopt;
        const char* v = argv[++i];
        const auto count = [&](int& into) {
            into = static_cast<int>(std::strtol(v, nullptr, 10));
            return into > 0;
        };
        bool ok = true;
        if (a == "--runs")
            ok = count(o.runs);
        else if (a == "--overhead-trials")
            ok = count(o.overhead_trials);
        else if (a == "--trials")
            ok = count(o.trials);
        else if (a == "--seconds")
            ok = (o.seconds = std::strtod(v, nullptr)) > 0;
        else if (a == "--supervisor")
            o.supervisor = v;
        else if (a == "--baseline")
            o.baseline = v;
        else if (a == "--dir")
            o.dir = v;
        else if (a == "--out")
            o.out = v;
        else if (a == "--sched")
            ok = (o.realtime = std::string_view(v) == "fifo") || std::string_view(v) == "normal";
        else
            ok = false;
        if (!ok) return std::nullopt;
    }
    return o;
}

}  // namespace quillmere::bench
