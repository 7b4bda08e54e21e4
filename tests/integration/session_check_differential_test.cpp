// The session checker against the supervisor on generated directories: each breaks the
// supervisor's rules one at a time, in pairs or at random (support/directory_recipe), goes
// through both programs (support/differential_case), and what they said is compared
// (support/verdict_comparison, which states the properties). A disagreement prints its recipe.
//
//   QUILLMERE_DIFFERENTIAL_CASES=N     how many directories (500)
//   QUILLMERE_DIFFERENTIAL_SEED=N      which ones, beyond the fixed first part
//   QUILLMERE_DIFFERENTIAL_JOBS=N      how many run at once, each in a process of its own (3)
//   QUILLMERE_DIFFERENTIAL_RECIPE=R    only the recipes R ("run:tun.json-group", several
//                                      separated by ";"), each told in full

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/verdict_comparison.hpp"

namespace quillmere {
namespace {

using testing::CaseOutcome;
using testing::Disagreement;
using testing::Recipe;

constexpr std::size_t kDefaultCases = 500;
constexpr std::uint64_t kDefaultSeed = 20261210;
constexpr std::size_t kDefaultJobs = 3;

// Disagreements whose cause is known: a disagreement under `property` whose detail holds
// `fragment`, in a directory with `defect`, is counted here rather than failing the test. Only
// what the checker cannot tell belongs here; an entry no case meets any more is reported.
struct KnownDisagreement {
    std::string_view defect;
    std::string_view property;  // "*" for any
    std::string_view fragment;  // "" for any detail
    std::string_view cause;
};

// None is listed: each disagreement the comparison found was mended in the checker.
const std::vector<KnownDisagreement> kKnownDisagreements = {};

std::size_t knob(const char* name, std::size_t fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? static_cast<std::size_t>(std::strtoull(value, nullptr, 0)) : fallback;
}

const KnownDisagreement* known_cause(const Recipe& recipe, const Disagreement& d) {
    for (const KnownDisagreement& known : kKnownDisagreements) {
        if (known.property != "*" && known.property != d.property) continue;
        if (d.detail.find(known.fragment) == std::string::npos) continue;
        for (const testing::Defect* defect : recipe.defects)
            if (defect->id == known.defect) return &known;
    }
    return nullptr;
}

std::string findings_text(const testing::CheckerAnswer& answer) {
    std::string out = "exit " + std::to_string(answer.exit_status) + ":";
    for (const testing::CheckerFinding& f : answer.findings)
        if (f.verdict == "refused" || f.verdict == "unknown") out += " " + f.verdict + " " + f.check + ";";
    return out;
}

// One case, as a line of JSON that a worker hands back.
nlohmann::json run_one(const Recipe& recipe) {
    nlohmann::json line = {{"recipe", testing::recipe_text(recipe)}, {"disagreements", nlohmann::json::array()}};
    try {
        const CaseOutcome outcome = testing::run_case(recipe);
        for (const Disagreement& d : testing::compare_verdicts(recipe, outcome))
            line["disagreements"].push_back({d.property, d.detail});
        line["supervisor"] = outcome.supervisor.story;
        line["checker"] = findings_text(outcome.before);
        line["finished"] = outcome.after ? findings_text(*outcome.after) : "not asked";
        line["documents"] = outcome.before.raw + (outcome.after ? outcome.after->raw : "");
    } catch (const std::exception& error) {
        line["disagreements"].push_back({"setup", error.what()});
    }
    return line;
}

// Runs every `jobs`-th recipe from `first` in a forked process that writes its lines to
// `file`. Each case plays the parent and reaps what its supervisor leaves, so cases share no
// process with one another.
pid_t start_worker(const std::vector<Recipe>& recipes, std::size_t first, std::size_t jobs, const std::string& file) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    std::ofstream out(file);
    for (std::size_t i = first; i < recipes.size(); i += jobs) out << run_one(recipes[i]).dump() << "\n" << std::flush;
    ::_exit(out ? 0 : 1);
}

std::vector<nlohmann::json> run_all(const std::vector<Recipe>& recipes, std::size_t jobs) {
    testing::ScratchDir results;
    std::vector<pid_t> workers;
    for (std::size_t w = 0; w < jobs; ++w)
        workers.push_back(start_worker(recipes, w, jobs, results.file("worker" + std::to_string(w))));
    for (const pid_t pid : workers) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a worker failed: status " << status;
    }
    std::vector<nlohmann::json> lines;
    for (std::size_t w = 0; w < jobs; ++w) {
        std::ifstream in(results.file("worker" + std::to_string(w)));
        for (std::string text; std::getline(in, text);) lines.push_back(nlohmann::json::parse(text));
    }
    return lines;
}

std::vector<Recipe> recipes_asked_for() {
    const char* asked = std::getenv("QUILLMERE_DIFFERENTIAL_RECIPE");
    if (asked == nullptr || *asked == '\0')
        return testing::generate_recipes(knob("QUILLMERE_DIFFERENTIAL_CASES", kDefaultCases),
                                         knob("QUILLMERE_DIFFERENTIAL_SEED", kDefaultSeed));
    std::vector<Recipe> recipes;
    std::string_view rest = asked;
    while (!rest.empty()) {
        const std::string_view one = rest.substr(0, rest.find(';'));
        const auto recipe = testing::parse_recipe(one);
        EXPECT_TRUE(recipe.has_value()) << "no such recipe: " << one;
        if (recipe) recipes.push_back(*recipe);
        rest = one.size() < rest.size() ? rest.substr(one.size() + 1) : std::string_view();
    }
    return recipes;
}

TEST(SessionCheckDifferential, CheckerAndSupervisorAgreeOnGeneratedDirectories) {
    if (!testing::running_as_root()) GTEST_SKIP() << "the supervisor's run needs root";
    const bool replay = std::getenv("QUILLMERE_DIFFERENTIAL_RECIPE") != nullptr;
    const std::vector<Recipe> recipes = recipes_asked_for();

    const std::vector<nlohmann::json> lines =
        run_all(recipes, std::max<std::size_t>(1, knob("QUILLMERE_DIFFERENTIAL_JOBS", kDefaultJobs)));
    ASSERT_EQ(lines.size(), recipes.size()) << "some cases were never reported";

    std::size_t disagreements = 0;
    std::size_t known = 0;
    std::map<const KnownDisagreement*, std::size_t> known_seen;
    for (const nlohmann::json& line : lines) {
        const Recipe recipe = *testing::parse_recipe(line.at("recipe").get<std::string>());
        std::string told;
        for (const auto& d : line.at("disagreements")) {
            const Disagreement disagreement{d.at(0).get<std::string>(), d.at(1).get<std::string>()};
            if (const KnownDisagreement* cause = known_cause(recipe, disagreement)) {
                ++known;
                ++known_seen[cause];
                if (replay)
                    told += "  known (" + std::string(cause->cause) + "): ";
                else
                    continue;
            } else {
                ++disagreements;
                told += "  ";
            }
            told += disagreement.property + ": " + disagreement.detail + "\n";
        }
        if (told.empty() && !replay) continue;
        const std::string report =
            "QUILLMERE_DIFFERENTIAL_RECIPE='" + line.at("recipe").get<std::string>() + "'\n" + told +
            "  supervisor: " + line.value("supervisor", "") + "\n  checker: " + line.value("checker", "") +
            "\n  --finished: " + line.value("finished", "") + "\n" + (replay ? line.value("documents", "") : "");
        (void)std::fputs(report.c_str(), stdout);
    }
    for (const KnownDisagreement& entry : kKnownDisagreements)
        if (!replay && !known_seen.contains(&entry))
            std::printf("differential: no case meets the known disagreement %s/%s (%s) any more; remove it\n",
                        std::string(entry.defect).c_str(), std::string(entry.property).c_str(),
                        std::string(entry.cause).c_str());
    std::printf("differential: %zu directories, %zu disagreements (%zu more known and listed)\n", recipes.size(),
                disagreements, known);
    EXPECT_EQ(disagreements, 0U);
}

}  // namespace
}  // namespace quillmere
