// quillmere-bench: measures what the supervisor costs, each figure beside the baseline it is
// judged against, in one run on one machine, and prints a table, one machine-readable line and
// an SVG of the stop reaction.
//
//   quillmere-bench [--help | knobs]     (the knobs are in options.cpp)
//
// Needs root, as the supervisor's run and recover forms do. The children are
// quillmere-bench-child (beside this program) as both "node" and "sing-box": each notes the
// moment it starts, so the supervisor's part of a start-up can be told from the children's.

#include <sched.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "processes.hpp"
#include "report.hpp"
#include "stop_reaction_svg.hpp"

namespace bench = quillmere::bench;

namespace {

std::string file_system_of(const std::string& path) {
    struct statfs info {};
    if (::statfs(path.c_str(), &info) != 0) return "?";
    switch (info.f_type) {
    case 0x01021994: return "tmpfs";
    case 0xEF53: return "ext4";
    case 0x9123683E: return "btrfs";
    case 0x58465342: return "xfs";
    case 0x794c7630: return "overlayfs";
    default: return "other";
    }
}

// The scratch directory of the state directories, the events file and the largest configuration.
bench::Bench prepare(const bench::Options& options) {
    bench::Bench b;
    b.options = options;
    if (b.options.realtime) {
        // Inherited by every thread and child started from here on.
        const sched_param priority{.sched_priority = 1};
        if (::sched_setscheduler(0, SCHED_FIFO, &priority) != 0)
            bench::die(std::string("SCHED_FIFO: ") + std::strerror(errno));
    }
    b.child = bench::own_directory() + "/quillmere-bench-child";
    if (::access(b.child.c_str(), X_OK) != 0) bench::die(b.child + " is missing");
    if (::access(b.options.supervisor.c_str(), X_OK) != 0) bench::die(b.options.supervisor + " is missing");
    std::string base = b.options.dir + "/quillmere-bench-XXXXXX";
    if (::mkdtemp(base.data()) == nullptr) bench::die("mkdtemp in " + b.options.dir + ": " + std::strerror(errno));
    ::chmod(base.c_str(), 0755);
    b.base = base;
    b.events = base + "/events.log";
    ::setenv("QUILLMERE_BENCH_EVENTS", b.events.c_str(), 1);
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        (void)std::fputs(bench::kUsage, stdout);
        return 0;
    }
    const std::optional<bench::Options> options = bench::parse_options(argc, argv);
    if (!options) {
        (void)std::fputs(bench::kUsage, stderr);
        return 2;
    }
    if (::geteuid() != 0) {
        (void)std::fputs("quillmere-bench: the supervisor's run and recover forms need root\n", stderr);
        return 2;
    }
    bench::Bench b = prepare(*options);

    bench::Measurements m;
    m.binary = bench::inspect_binary(b.options.supervisor);
    std::printf("quillmere-bench: %s (%s), %ld cores, state directories on %s, %s scheduling\n",
                b.options.supervisor.c_str(), m.binary.is_static ? "static" : "dynamic",
                ::sysconf(_SC_NPROCESSORS_ONLN), file_system_of(b.base).c_str(),
                b.options.realtime ? "SCHED_FIFO" : "normal");
    std::printf("runs=%d overhead-trials=%d trials=%d seconds=%g\n\n", b.options.runs, b.options.overhead_trials,
                b.options.trials, b.options.seconds);
    (void)std::fflush(stdout);

    m.startup = bench::measure_startup(b);
    m.overhead = bench::measure_overhead(b);
    m.stops = bench::measure_stop_reaction(b);
    m.standing = bench::measure_standing(b);
    m.peaks = bench::measure_peaks(b);
    m.sealing = bench::measure_sealing(b);
    m.svg = bench::write_stop_reaction_svg(b.options.out, m.stops);
    std::error_code ignored;
    std::filesystem::remove_all(b.base, ignored);

    return bench::print_report(b.options, m) == 0 ? 0 : 1;
}
