#pragma once
// What each figure is held to. The table is the one place a threshold is written: the target
// the report prints and the check that gives its verdict are both made from the same row.

#include <string>

namespace quillmere::bench {

enum class Measure {
    version_wall_time,
    check_wall_time,
    run_to_core,
    stop_reaction_mean,
    stop_reaction_p95,
    standing_cpu,
    standing_wakeups,
    peak_memory,
};

// A figure is held to at most a multiple of its baseline, to at most its baseline plus a
// margin, or to at most a fixed amount.
enum class Hold { ratio, margin, amount };

struct Target {
    Measure measure;
    const char* label;  // before the bound in the printed target ("mean"), or ""
    Hold hold;
    double allowed;    // the ratio, the margin or the amount
    const char* unit;  // of the margin or the amount
    int decimals;      // of the numbers in the printed target
};

[[nodiscard]] const Target& target_of(Measure measure);

// One figure beside its baseline, held to the table's row for its measure.
struct Check {
    Measure measure;
    double figure;
    double baseline = 0;  // unused by an amount
    // Printed in the target instead of the baseline's number, for a figure that is already a
    // difference from its baseline (baseline 0).
    const char* baseline_name = nullptr;

    [[nodiscard]] double limit() const;
    [[nodiscard]] bool met() const;  // a figure that could not be taken (NaN) is not
    [[nodiscard]] std::string target_text() const;
};

}  // namespace quillmere::bench
