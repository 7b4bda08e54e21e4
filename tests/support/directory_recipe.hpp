#pragma once
// Recipes for state directories that break the supervisor's rules: a catalogue of defects,
// each one way of breaking (or, for the neutral ones, bending without breaking) one entry of
// the directory or the launch, and recipes that combine them one at a time, in pairs and at
// random. A recipe prints as one line ("run:tun.json-group+stop-left") that replays it.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linux/unique_fd.hpp"
#include "reference_parent/supervisor_process.hpp"
#include "support/supervised_session.hpp"

namespace quillmere::testing {

// The owner a desktop session has: not root.
inline constexpr uid_t kRecipeOwner = kNobodyUid;

// What a directory being prepared offers a defect to change.
struct Staging {
    SupervisedSession& session;
    SupervisorRun& run;
    std::string base;                           // holds the state directory; room for what lies outside it
    std::vector<UniqueFd> held;                 // writers kept open until the case is over
    std::vector<std::string> launch_options;    // hostile_launcher options, for both programs
    std::optional<mode_t> directory_mode = {};  // set last, once everything inside is made
};

// How much of the directory the owner can still see with the defect in place.
enum class Sight {
    seen,             // the owner sees everything the supervisor judges
    hides_entry,      // the owner cannot look into the entry: an unknown about it is honest
    hides_directory,  // the owner cannot look into the directory at all
};

struct Defect {
    std::string_view id;
    std::string_view slot;  // at most one defect per slot in a recipe
    // The checker findings ("file/rule") that the defect must bring in each form, in no order;
    // empty when the supervisor accepts it there. "launch/*" stands for any finding on "launch".
    std::vector<std::string_view> run_findings;
    std::vector<std::string_view> recover_findings;
    Sight sight = Sight::seen;
    std::function<void(Staging&)> apply;

    [[nodiscard]] const std::vector<std::string_view>& findings(reference::SupervisorMode mode) const {
        return mode == reference::SupervisorMode::run ? run_findings : recover_findings;
    }
};

[[nodiscard]] const std::vector<Defect>& defect_catalogue();
[[nodiscard]] const Defect* find_defect(std::string_view id);

struct Recipe {
    reference::SupervisorMode mode = reference::SupervisorMode::run;
    std::vector<const Defect*> defects;

    // The defects that the supervisor must refuse in this recipe's form.
    [[nodiscard]] std::vector<const Defect*> effective() const;
    [[nodiscard]] bool operator==(const Recipe&) const = default;
};

// "run:a+b" / "recover:" ; parse_recipe takes back exactly what recipe_text gives.
[[nodiscard]] std::string recipe_text(const Recipe& recipe);
[[nodiscard]] std::optional<Recipe> parse_recipe(std::string_view text);

// `count` recipes from `seed`, always the same for the same two numbers: the good directory
// in both forms, every defect alone in both forms, every defect behind a directory its owner
// cannot look into, then random pairs and random sets of three to five.
[[nodiscard]] std::vector<Recipe> generate_recipes(std::size_t count, std::uint64_t seed);

// Builds the directory the recipe describes in `staging`.
void apply_recipe(const Recipe& recipe, Staging& staging);

}  // namespace quillmere::testing
