// The rule by which the differential test files a disagreement, on outcomes written by hand:
// the comparison is code that computes, so it is tested like any.

#include "support/verdict_comparison.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace quillmere {
namespace {

using testing::Stage;

struct ComparisonCase {
    const char* name;
    const char* recipe;
    std::vector<std::string> before;   // "refused tun.json/mode", "unknown tun.json"
    std::optional<Stage> stopped;      // nullopt: the supervisor accepted the directory
    std::vector<std::string> after;    // --finished, asked when the supervisor refused
    std::set<std::string> properties;  // the properties it must be filed under
};

void PrintTo(const ComparisonCase& c, std::ostream* out) { *out << c.recipe; }

testing::CheckerAnswer answer_of(const std::vector<std::string>& findings) {
    testing::CheckerAnswer answer;
    answer.has_document = true;
    answer.exit_status = findings.empty() ? 0 : 1;
    for (const std::string& finding : findings) {
        const std::size_t space = finding.find(' ');
        answer.findings.push_back({finding.substr(space + 1), finding.substr(0, space)});
    }
    return answer;
}

const ComparisonCase kCases[] = {
    {"BothAccept", "run:", {}, std::nullopt, {}, {}},
    {"CheckerRefusesWhatPasses", "run:tun.json-unreadable", {"refused tun.json"}, std::nullopt, {}, {"verdict"}},
    {"UnknownWhereTheOwnerCannotLook", "run:tun.json-unreadable", {"unknown tun.json"}, std::nullopt, {}, {}},
    {"UnknownWhereTheOwnerCanLook", "run:", {"unknown tun.json"}, std::nullopt, {}, {"verdict"}},
    {"AnUnknownWhereTheRunStops",
     "run:tun.json-group+stop-left",
     {"unknown tun.json"},
     Stage::inputs,
     {"refused tun.json/mode"},
     {}},
    {"CheckerPassesWhatIsRefused",
     "run:tun.json-group+stop-left",
     {},
     Stage::inputs,
     {"refused tun.json/mode"},
     {"verdict"}},
    {"SupervisorStopsBeforeTheFirstRefusal",
     "run:tun.json-group+stop-left",
     {"refused stop"},
     Stage::inputs,
     {"refused stop"},
     {"first-refusal"}},
    {"AnUnknownMayHideTheFirstObstacle",
     "run:tun.json-group+done-left",
     {"unknown tun.json", "refused done"},
     Stage::inputs,
     {"refused tun.json/mode"},
     {}},
    {"OneDefectTwoRefusals",
     "run:directory-0755",
     {"refused directory/mode", "refused canonical-path"},
     Stage::session,
     {"refused directory/mode"},
     {"single-defect"}},
    {"OneDefectStoppedElsewhere",
     "run:tun.json-group",
     {"refused tun.json/mode"},
     Stage::session,
     {"refused tun.json/mode"},
     {"single-defect", "first-refusal"}},
    {"AnyLaunchFindingForALaunchDefect",
     "run:launch-sigchld-ignored",
     {"refused launch/sigchld"},
     Stage::inputs,
     {"refused launch/sigchld"},
     {}},
    {"FinishedFindsNothing", "run:stop-left", {"refused stop"}, Stage::stop, {}, {"finished"}},
    {"FinishedNamesAnInventedCause",
     "run:stop-left",
     {"refused stop"},
     Stage::stop,
     {"refused stop", "refused parent.sock/listening"},
     {"finished"}},
    {"FinishedBlindInAHiddenDirectory",
     "run:directory-unsearchable+tun.json-group",
     {"unknown tun.json"},
     Stage::inputs,
     {"unknown tun.json"},
     {}},
};

class VerdictComparison : public ::testing::TestWithParam<ComparisonCase> {};

TEST_P(VerdictComparison, FilesTheDisagreementsTheOutcomeShows) {
    const ComparisonCase& c = GetParam();
    const auto recipe = testing::parse_recipe(c.recipe);
    ASSERT_TRUE(recipe.has_value());
    testing::CaseOutcome outcome;
    outcome.before = answer_of(c.before);
    outcome.supervisor.passed = !c.stopped.has_value();
    if (c.stopped) outcome.supervisor.stages = {*c.stopped};
    if (c.stopped) outcome.after = answer_of(c.after);

    std::set<std::string> filed;
    std::string details;
    for (const testing::Disagreement& d : testing::compare_verdicts(*recipe, outcome)) {
        filed.insert(d.property);
        details += d.property + ": " + d.detail + "\n";
    }
    EXPECT_EQ(filed, c.properties) << details;
}

INSTANTIATE_TEST_SUITE_P(Outcomes, VerdictComparison, ::testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(DirectoryRecipe, PrintsAsTheLineThatReplaysIt) {
    for (const testing::Recipe& recipe : testing::generate_recipes(300, 1))
        EXPECT_EQ(testing::parse_recipe(testing::recipe_text(recipe)), recipe) << testing::recipe_text(recipe);
    EXPECT_FALSE(testing::parse_recipe("run:tun.json-group+tun.json-root").has_value()) << "two defects in one slot";
    EXPECT_FALSE(testing::parse_recipe("walk:").has_value());
}

}  // namespace
}  // namespace quillmere
