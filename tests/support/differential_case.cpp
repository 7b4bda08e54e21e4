#include "support/differential_case.hpp"

#include <sys/stat.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

#include "children/state_files.hpp"

namespace quillmere::testing {

namespace {

using reference::SupervisorMode;

constexpr std::string_view kStateFiles[] = {kHelperPidFile, kRecoveryPidFile, kCorePidFile,
                                            kCoreExitFile,  kDoneFile,        kCleanupErrorFile};
// Far above anything a run with stand-ins that exit at once takes, short of stalling CI.
constexpr Nanoseconds kSupervisorTimeLimit = seconds(15);

// `supervisor_pid`: after a run, the one the parent started, for --finished.
CheckerAnswer ask_checker(const std::string& directory, SupervisorMode mode, std::optional<pid_t> supervisor_pid,
                          const std::vector<std::string>& launch_options) {
    std::vector<std::string> args = {"--mode", std::string(reference::mode_word(mode)), "--json"};
    if (supervisor_pid) args.insert(args.end(), {"--finished", "--supervisor-pid", std::to_string(*supervisor_pid)});
    args.push_back(directory);
    ProcessResult result;
    if (launch_options.empty()) {
        RunOptions as_owner;
        as_owner.uid = kRecipeOwner;
        result = run_program(session_check_binary(), args, as_owner);
    } else {
        // Launched as the supervisor is, and only then the owner: a bounding set is set by root.
        std::vector<std::string> launched = launch_options;
        launched.insert(launched.end(), {"--as-uid", std::to_string(kRecipeOwner), "--", session_check_binary()});
        launched.insert(launched.end(), args.begin(), args.end());
        result = run_program(test_program("hostile_launcher"), launched);
    }
    CheckerAnswer answer;
    answer.exit_status = result.exit_status;
    answer.raw = result.standard_output + result.standard_error;
    const nlohmann::json document = nlohmann::json::parse(result.standard_output, nullptr, false);
    if (!document.is_object() || !document.contains("checks")) return answer;
    answer.has_document = true;
    for (const auto& finding : document.at("checks"))
        answer.findings.push_back({finding.value("check", ""), finding.value("verdict", "")});
    return answer;
}

std::map<std::string_view, bool> state_files_present(const SupervisedSession& session) {
    std::map<std::string_view, bool> present;
    for (const std::string_view name : kStateFiles) present[name] = path_exists(session.path(name));
    return present;
}

// "exit N" or "exit by signal N". Appended piece by piece: g++ 12 at -O3 misreads a temporary
// joined to a literal here.
std::string how_it_ended(const RunReport& report) {
    std::string story = "exit ";
    if (report.supervisor.exit_code()) {
        story += std::to_string(*report.supervisor.exit_code());
    } else {
        story += "by signal ";
        story += std::to_string(report.supervisor.signal());
    }
    return story;
}

// Where the run stopped, read from what it left as a parent reads it: which children started,
// which state files are this run's (the supervisor never replaces one, so a file is this
// run's exactly when it was not there before), and whether it connected.
SupervisorAnswer judge_run(SupervisorMode mode, const RunReport& report, const SupervisedSession& session,
                           const std::map<std::string_view, bool>& before) {
    const auto after = state_files_present(session);
    const auto ours = [&](std::string_view name) { return after.at(name) && !before.at(name); };
    const bool preflight = session.record(Role::preflight).has_value();
    const bool cleanup = session.record(Role::cleanup).has_value();
    const bool core = session.record(Role::core).has_value();
    const bool connected = report.timeline && report.timeline->accepted;
    const bool exit_zero = report.supervisor.exit_code() == 0;

    SupervisorAnswer answer;
    answer.story = how_it_ended(report);
    answer.story += connected ? ", connected" : ", never connected";
    answer.story += std::string(", children:") + (preflight ? " preflight" : "") + (core ? " core" : "") +
                    (cleanup ? " cleanup" : "") + (preflight || core || cleanup ? "" : " none");
    answer.story += ", its own files:";
    for (const std::string_view name : kStateFiles)
        if (ours(name)) answer.story.append(" ").append(name);

    std::vector<Stage>& at = answer.stages;
    if (mode == SupervisorMode::run) {
        if (exit_zero && preflight && core && cleanup && ours(kDoneFile)) {
            answer.passed = true;
        } else if (!ours(kHelperPidFile)) {
            at = {connected ? Stage::own_pid : Stage::session};
        } else if (!preflight && !core && !cleanup) {
            at = {Stage::inputs};
        } else if (!preflight && !core && cleanup) {
            at = {Stage::stop};
        } else if (preflight && !cleanup) {
            // A core put down because its pid file failed may not even have got to its record.
            at = {Stage::core_launch};
        } else if (core && cleanup && !ours(kCoreExitFile)) {
            at = {Stage::core_exit};
        } else if (cleanup && !ours(kDoneFile)) {
            at = {Stage::done};
        } else {
            at = {Stage::unexplained};
        }
    } else if (exit_zero && cleanup && ours(kDoneFile)) {
        answer.passed = true;
    } else if (!ours(kRecoveryPidFile)) {
        // A recovery that is refused its pid file and one refused its session leave the same.
        at = before.at(kRecoveryPidFile) ? std::vector{Stage::session, Stage::own_pid} : std::vector{Stage::session};
    } else if (!cleanup) {
        at = {Stage::inputs};
    } else if (!ours(kDoneFile)) {
        at = {Stage::done};
    } else {
        at = {Stage::unexplained};
    }
    if (!answer.passed) answer.story += std::string(", stopped at ") + stage_name(at.front());
    return answer;
}

}  // namespace

const char* stage_name(Stage stage) {
    switch (stage) {
    case Stage::session: return "the session or the socket";
    case Stage::own_pid: return "its own pid file";
    case Stage::inputs: return "the input files";
    case Stage::stop: return "a stop before the preflight";
    case Stage::core_launch: return "the core's launch";
    case Stage::core_exit: return "core-exit";
    case Stage::done: return "done";
    case Stage::unexplained: return "no step a parent can tell";
    }
    return "?";
}

CaseOutcome run_case(const Recipe& recipe) {
    ScratchDir base;
    // The state directory's parent is open to its owner, as $XDG_RUNTIME_DIR is.
    if (::chmod(base.path().c_str(), 0755) != 0) throw std::runtime_error("cannot open the base directory");
    Inputs inputs;
    inputs.base_dir = base.path();
    inputs.owner = reference::Owner::of_uid(kRecipeOwner);
    SupervisedSession session(inputs);
    SupervisorRun run;
    run.time_limit = kSupervisorTimeLimit;
    Staging staging{session, run, base.path(), {}, {}};
    apply_recipe(recipe, staging);
    session.remember_inputs();
    if (!staging.launch_options.empty()) {
        run.launcher = {test_program("hostile_launcher")};
        run.launcher.insert(run.launcher.end(), staging.launch_options.begin(), staging.launch_options.end());
        run.launcher.emplace_back("--");
    }
    const std::string directory = run.state_dir_path.value_or(session.dir().path());
    const auto before = state_files_present(session);

    CaseOutcome outcome;
    // Asked while the parent listens, as an application would right before it starts the supervisor.
    run.before_start = [&] {
        outcome.before = ask_checker(directory, recipe.mode, std::nullopt, staging.launch_options);
    };
    ::testing::TestPartResultArray failures;
    std::optional<RunReport> report;
    {
        const ::testing::ScopedFakeTestPartResultReporter capture(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &failures);
        report = session.run(recipe.mode, run);
    }
    for (int i = 0; i < failures.size(); ++i) outcome.aftermath.emplace_back(failures.GetTestPartResult(i).message());
    outcome.supervisor_pid = report->supervisor_pid;
    outcome.supervisor = judge_run(recipe.mode, *report, session, before);
    if (!outcome.supervisor.passed)
        outcome.after = ask_checker(directory, recipe.mode, outcome.supervisor_pid, staging.launch_options);
    return outcome;
}

}  // namespace quillmere::testing
