#pragma once
// The comparison of what the checker said about a generated directory with what the supervisor
// did with it. The properties, each a name a disagreement is filed under:
//
//   "verdict"        the checker is clean (exit 0) if and only if the supervisor does all it
//                    was asked with children that succeed. An "unknown" is not clean; when the
//                    supervisor refuses it is no fault, and when the supervisor accepts it is
//                    one unless the recipe hid that entry from its owner (a file the owner may
//                    not read, a directory it may not search): the checker may leave open only
//                    what the owner truly cannot see, and must not refuse it.
//   "first-refusal"  the supervisor stops at the step of the checker's earliest refusal, or at
//                    the step of an unknown before it, which may hide an earlier obstacle.
//   "single-defect"  a directory with exactly one defect gets exactly the refusals that defect
//                    brings, and the supervisor stops at that defect's step.
//   "finished"       after a failed run, --finished is not clean, and what it refuses are
//                    causes the directory really had.
//   "document"       the checker printed its JSON document, and its exit status agrees with it.
//   "aftermath"      the supervisor itself: no child outlived it, the parent's files are as
//                    they were, it let go of its link.

#include <string>
#include <vector>

#include "support/differential_case.hpp"

namespace quillmere::testing {

struct Disagreement {
    std::string property;
    std::string detail;
};

[[nodiscard]] std::vector<Disagreement> compare_verdicts(const Recipe& recipe, const CaseOutcome& outcome);

}  // namespace quillmere::testing
