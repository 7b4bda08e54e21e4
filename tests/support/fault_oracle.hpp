#pragma once
// The fault sweep's judgement of one injected session (scripts/fault-sweep collects, this
// judges): which outcome the injected failure must have, and every way in which what the
// session left breaks a promise of the program.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/stand_in.hpp"

namespace quillmere::testing {

// How a session with one injected failure must end:
//   same       as the clean session: the call is repeated after EINTR, has a fallback, or is
//              part of the sweep at the end of the mode, which reports nothing;
//   stop       as a stop request: the one-byte link check failed, which is a departed parent;
//   abandoned  a failure without the clean-up (no end marker): a failed look at the stop marker;
//   fail       exit status 1 with the marker.
enum class SweepOutcome { same, stop, abandoned, fail };

[[nodiscard]] std::string_view outcome_name(SweepOutcome outcome);

// The outcome an error `errno_name` injected into the call on line `injected` (0-based) of
// `trace`, strace's record of the supervisor, must have.
[[nodiscard]] SweepOutcome expected_outcome(const std::vector<std::string>& trace, std::size_t injected,
                                            std::string_view errno_name);

// One state directory entry as the sweep's snapshot gives it: "name|kind|mode|links|content".
struct StateEntry {
    std::string name;
    std::string kind;  // stat's %F
    std::string mode;  // octal permission bits
    std::string links;
    std::string content;  // at most 200 bytes, unusual bytes as '?'
};

// What one session left, as collected into its point directory.
struct SweepSession {
    std::string mode;           // "run" or "recover"
    std::string label;          // "clean", or CALL:ERRNO:N
    std::optional<int> status;  // none when the supervisor never ran
    std::vector<std::string> trace;
    std::string standard_output;
    std::string standard_error;
    std::string parent_output;  // what the reference parent printed
    std::vector<StateEntry> state;
    std::vector<std::string> unexpected_entries;
    std::string inputs_before;
    std::string inputs_after;
    std::optional<long> orphans;                                 // processes the subreaper had to reap
    std::vector<std::pair<std::string, StandInRecord>> records;  // role, record
};

struct SweepJudgement {
    bool injected = false;  // the injection happened (or the session is a clean one)
    SweepOutcome expected = SweepOutcome::same;
    std::string summary;
    std::vector<std::string> violations;
};

[[nodiscard]] SweepJudgement judge_session(const SweepSession& session);

// Problems of one child's record: more or other descriptors than its role holds, or a
// variable that should have been scrubbed.
[[nodiscard]] std::vector<std::string> record_problems(std::string_view role, const StandInRecord& record);

// Reads the point directory `directory` that the sweep filled for one session.
[[nodiscard]] SweepSession read_sweep_session(const std::string& directory, std::string mode, std::string label);

}  // namespace quillmere::testing
