#pragma once
// The report: a table with each figure, its baseline, its target and the verdict, then one
// line "bench: key=value ..." for scripts.

#include <string>

#include "measurements.hpp"

namespace quillmere::bench {

struct Measurements {
    Startup startup;
    Overhead overhead;
    StopReaction stops;
    Standing standing;
    Peaks peaks;
    Summary sealing;
    BinaryFacts binary;
    std::string svg;  // the stop reaction's picture
};

// Prints the report and gives the number of runs and trials that failed; a missed target is
// in the table, not in that number.
int print_report(const Options& options, const Measurements& m);

}  // namespace quillmere::bench
