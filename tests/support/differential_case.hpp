#pragma once
// One generated directory run through both programs: the checker as the directory's owner
// while the parent listens, the supervisor as root with stand-in children, and, after a failed
// run, the checker once more with --finished. What each said is kept for the comparison.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/directory_recipe.hpp"

namespace quillmere::testing {

// The supervisor's steps as a parent can tell them apart afterwards, in the supervisor's order.
// A step that leaves nothing behind shares its stage with the one before it.
enum class Stage {
    session,      // nothing written, nobody connected: argument, directory, session file, socket
    own_pid,      // its own pid file could not be created
    inputs,       // its pid file written, no child started: input files, stop marker type, launch
    stop,         // only the clean-up guard ran: a stop was wanted before the preflight
    core_launch,  // the preflight ran, then no clean-up: the core could not be launched or recorded
    core_exit,    // cleaned up, but how the core ended could not be recorded
    done,         // cleaned up, but "done" could not be written
    unexplained,
};

[[nodiscard]] const char* stage_name(Stage stage);

struct CheckerFinding {
    std::string check;  // "tun.json/mode"
    std::string verdict;
};

struct CheckerAnswer {
    int exit_status = -1;
    bool has_document = false;
    std::vector<CheckerFinding> findings;
    std::string raw;  // everything it printed, for a disagreement's report
};

struct SupervisorAnswer {
    bool passed = false;        // exit 0, every child ran and "done" is this run's
    std::vector<Stage> stages;  // where it stopped: one stage, or two that leave the same traces
    std::string story;          // what was seen, in words
};

struct CaseOutcome {
    CheckerAnswer before;
    std::optional<CheckerAnswer> after;  // --finished, after a failed run
    SupervisorAnswer supervisor;
    std::vector<std::string> aftermath;  // what the session's own checks found wrong
    pid_t supervisor_pid = 0;            // which run --finished is asked about
};

// Throws std::runtime_error when the directory cannot be staged.
[[nodiscard]] CaseOutcome run_case(const Recipe& recipe);

}  // namespace quillmere::testing
