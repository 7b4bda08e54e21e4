#pragma once
// The benchmark's measurements, each taken beside its own baseline in the same run.

#include <cmath>
#include <string>
#include <vector>

#include "sessions.hpp"
#include "statistics.hpp"

namespace quillmere::bench {

// Whole-process wall time of the baseline program and the two forms that need no session.
struct Startup {
    Summary baseline, version, check;
    int failures = 0;
};
[[nodiscard]] Startup measure_startup(const Bench& b);

// Run mode from the supervisor's start to the core's start, against the same two stand-ins
// started bare from the same directory with the guard's and the core's command lines the
// supervisor gave them, one after the other, with one guard poll's sleep between them.
struct Overhead {
    Summary supervised, limit;              // start to the core's start; limit: the two spawns alone
    Summary baseline;                       // per trial: the two spawns plus the guard poll sleeps it took
    Summary over_baseline;                  // per trial: supervised less its baseline
    Summary supervised_guard, limit_guard;  // start to the preflight guard's start
    // From the guard's end to the core's start: when the supervisor found the guard ended at its
    // first look, and when it found it only after a guard poll's sleep.
    Summary handover_first_look, handover_after_poll, limit_handover;
    Summary poll_sleep;  // one guard poll period slept bare, as the supervisor sleeps it
    int failures = 0;
};
[[nodiscard]] Overhead measure_overhead(Bench& b);

// From the stop being asked for, by the marker or by closing the link, to SIGTERM at the core.
struct StopReaction {
    std::vector<double> marker, link;
    int failures = 0;
};
[[nodiscard]] StopReaction measure_stop_reaction(Bench& b);

// What the supervisor costs while it only watches a running core, beside two programs watched
// over the same window: one that makes the system calls of the supervisor's pass every stop
// poll period, and one that only sleeps that period.
struct Standing {
    struct Cost {
        double cpu_percent = NAN;  // from schedstat, nanosecond resolution
        double wakeups_per_second = NAN;
    };
    double seconds = 0;
    Cost supervisor, poll_loop, sleep_loop;
    double cpu_percent_ticks = NAN;  // the supervisor's, from utime+stime, clock-tick resolution
    long rss_kib = -1;
    bool ok = false;
};
[[nodiscard]] Standing measure_standing(Bench& b);

// Peak resident memory of each form and of the baseline program.
struct Peaks {
    long baseline = -1, version = -1, check = -1, run = -1, recover = -1;
    int failures = 0;
};
[[nodiscard]] Peaks measure_peaks(Bench& b);

// The library's own sealing, as run and recover call it, on a configuration of the largest size.
[[nodiscard]] Summary measure_sealing(const Bench& b);

struct BinaryFacts {
    long long file_bytes = -1;
    long long loaded_bytes = 0;  // the file bytes of the PT_LOAD segments: what exec maps
    bool is_static = false;
};
[[nodiscard]] BinaryFacts inspect_binary(const std::string& path);

}  // namespace quillmere::bench
