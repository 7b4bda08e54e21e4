#include "support/verdict_comparison.hpp"

#include <algorithm>
#include <optional>
#include <string_view>

namespace quillmere::testing {

namespace {

using reference::SupervisorMode;

std::string_view entry_of(std::string_view key) { return key.substr(0, key.find('/')); }

// "launch/*" stands for every finding about the launch; anything else for exactly itself.
bool matches(std::string_view pattern, std::string_view key) {
    if (pattern.ends_with("/*")) return entry_of(key) == pattern.substr(0, pattern.size() - 2);
    return key == pattern;
}

// The supervisor's step that a checker finding belongs to; none for notes such as "left/...".
std::optional<Stage> stage_of(std::string_view key) {
    const std::string_view entry = entry_of(key);
    for (const std::string_view name : {"argument", "directory", "supervisor.json", "canonical-path", "parent.sock"})
        if (entry == name) return Stage::session;
    if (entry == "helper.pid" || entry == "recovery.pid") return Stage::own_pid;
    for (const std::string_view name : {"node", "network-guard.cjs", "sing-box", "tun.json", "launch", "host"})
        if (entry == name) return Stage::inputs;
    // A stop marker that is no regular file fails the run at the first stop check, right
    // after the inputs; a regular one stops it there.
    if (key == "stop/type") return Stage::inputs;
    if (entry == "stop") return Stage::stop;
    if (entry == "core.pid") return Stage::core_launch;
    if (entry == "core-exit") return Stage::core_exit;
    if (entry == "done") return Stage::done;
    return std::nullopt;
}

// An unknown the owner could not have avoided: the recipe hid that entry, or the directory.
bool honest_unknown(const Recipe& recipe, std::string_view key) {
    return std::ranges::any_of(recipe.defects, [&](const Defect* d) {
        return d->sight == Sight::hides_directory || (d->sight == Sight::hides_entry && d->slot == entry_of(key));
    });
}

struct Obstacles {
    std::vector<std::string> refused;
    std::vector<std::string> unknown;    // every unknown
    std::vector<std::string> avoidable;  // the unknowns the owner could have seen through
};

Obstacles obstacles_of(const Recipe& recipe, const CheckerAnswer& answer) {
    Obstacles found;
    for (const CheckerFinding& finding : answer.findings) {
        if (finding.verdict == "refused") found.refused.push_back(finding.check);
        if (finding.verdict != "unknown") continue;
        found.unknown.push_back(finding.check);
        if (!honest_unknown(recipe, finding.check)) found.avoidable.push_back(finding.check);
    }
    return found;
}

std::string listed(const std::vector<std::string>& keys) {
    std::string out = "[";
    for (std::size_t i = 0; i < keys.size(); ++i) out += (i > 0 ? ", " : "") + keys[i];
    return out + "]";
}

std::string listed(const std::vector<std::string_view>& keys) {
    return listed(std::vector<std::string>(keys.begin(), keys.end()));
}

std::string said(const Obstacles& o) { return "refused " + listed(o.refused) + ", unknown " + listed(o.unknown); }

std::string stages_text(const SupervisorAnswer& supervisor) {
    if (supervisor.passed) return "accepted the directory";
    std::string out = "stopped at";
    for (const Stage stage : supervisor.stages)
        out += std::string(out.ends_with("at") ? " " : " or ") + stage_name(stage);
    return out;
}

bool stopped_at(const SupervisorAnswer& supervisor, Stage stage) {
    return !supervisor.passed && std::ranges::find(supervisor.stages, stage) != supervisor.stages.end();
}

// The steps at which the supervisor may stop, by what the checker found: the earliest refusal,
// and every unknown before it.
std::vector<Stage> expected_stops(const Obstacles& o) {
    std::optional<Stage> first_refusal;
    for (const std::string& key : o.refused) {
        const auto stage = stage_of(key);
        if (stage && (!first_refusal || *stage < *first_refusal)) first_refusal = stage;
    }
    std::vector<Stage> stops;
    if (first_refusal) stops.push_back(*first_refusal);
    for (const std::string& key : o.unknown) {
        const auto stage = stage_of(key);
        if (stage && (!first_refusal || *stage < *first_refusal)) stops.push_back(*stage);
    }
    return stops;
}

bool document_sound(const CheckerAnswer& answer, const Obstacles& o, const char* which,
                    std::vector<Disagreement>& out) {
    if (!answer.has_document) {
        out.push_back({"document", std::string(which) + " printed no JSON document (exit " +
                                       std::to_string(answer.exit_status) + "): " + answer.raw});
        return false;
    }
    const bool clean = o.refused.empty() && o.unknown.empty();
    if ((answer.exit_status == 0) != clean) {
        out.push_back({"document", std::string(which) + " exits " + std::to_string(answer.exit_status) +
                                       " but its document says " + said(o)});
    }
    return true;
}

void compare_before(const Recipe& recipe, const CaseOutcome& outcome, const Obstacles& o,
                    std::vector<Disagreement>& out) {
    const SupervisorAnswer& supervisor = outcome.supervisor;
    const bool clean = outcome.before.exit_status == 0;
    if (supervisor.passed && !o.refused.empty()) {
        out.push_back({"verdict", "the checker " + said(o) + ", but the supervisor accepted the directory"});
    } else if (supervisor.passed && !o.avoidable.empty()) {
        out.push_back({"verdict", "the checker leaves open " + listed(o.avoidable) +
                                      ", which the owner can see, and the supervisor accepted the directory"});
    } else if (!supervisor.passed && clean) {
        out.push_back({"verdict", "the checker passes the directory, but the supervisor " + stages_text(supervisor)});
    }
    if (!supervisor.passed && !clean) {
        const std::vector<Stage> stops = expected_stops(o);
        if (std::ranges::none_of(stops, [&](Stage s) { return stopped_at(supervisor, s); }))
            out.push_back({"first-refusal", "the supervisor " + stages_text(supervisor) + ", the checker " + said(o)});
    }

    const std::vector<const Defect*> effective = recipe.effective();
    if (recipe.defects.size() != 1 || effective.size() != 1) return;
    const std::vector<std::string_view>& expected = effective.front()->findings(recipe.mode);
    const bool all_found = std::ranges::all_of(expected, [&](std::string_view p) {
        return std::ranges::any_of(o.refused, [&](const std::string& k) { return matches(p, k); });
    });
    const bool nothing_else = std::ranges::all_of(o.refused, [&](const std::string& k) {
        return std::ranges::any_of(expected, [&](std::string_view p) { return matches(p, k); });
    });
    if (!all_found || !nothing_else || !o.avoidable.empty())
        out.push_back(
            {"single-defect", "the one defect brings exactly " + listed(expected) + "; the checker " + said(o)});
    const std::optional<Stage> belongs = stage_of(expected.front());
    if (belongs && !stopped_at(supervisor, *belongs))
        out.push_back({"single-defect", std::string("the one defect belongs to ") + stage_name(*belongs) +
                                            ", but the supervisor " + stages_text(supervisor)});
}

void compare_after(const Recipe& recipe, const CaseOutcome& outcome, std::vector<Disagreement>& out) {
    if (!outcome.after) return;
    const Obstacles o = obstacles_of(recipe, *outcome.after);
    if (!document_sound(*outcome.after, o, "--finished", out)) return;
    if (o.refused.empty()) {
        // A directory hidden from its owner leaves the cause open, and says so.
        if (o.unknown.empty() || !o.avoidable.empty())
            out.push_back({"finished", "after the supervisor " + stages_text(outcome.supervisor) +
                                           ", --finished names no cause: " + said(o)});
        return;
    }
    std::vector<std::string_view> real;
    for (const Defect* defect : recipe.effective())
        real.insert(real.end(), defect->findings(recipe.mode).begin(), defect->findings(recipe.mode).end());
    std::vector<std::string> invented;
    for (const std::string& key : o.refused)
        if (std::ranges::none_of(real, [&](std::string_view p) { return matches(p, key); })) invented.push_back(key);
    if (!invented.empty())
        out.push_back({"finished", "after the supervisor " + stages_text(outcome.supervisor) + ", --finished names " +
                                       listed(invented) + ", which the directory did not have (it had " + listed(real) +
                                       ")"});
}

}  // namespace

std::vector<Disagreement> compare_verdicts(const Recipe& recipe, const CaseOutcome& outcome) {
    std::vector<Disagreement> out;
    out.reserve(outcome.aftermath.size());
    for (const std::string& failure : outcome.aftermath) out.push_back({"aftermath", failure});
    if (std::ranges::find(outcome.supervisor.stages, Stage::unexplained) != outcome.supervisor.stages.end())
        out.push_back({"verdict", "the supervisor " + outcome.supervisor.story});
    const Obstacles before = obstacles_of(recipe, outcome.before);
    if (document_sound(outcome.before, before, "the checker", out)) compare_before(recipe, outcome, before, out);
    compare_after(recipe, outcome, out);
    return out;
}

}  // namespace quillmere::testing
