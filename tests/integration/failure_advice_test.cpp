// The parent's guide tells, for every way a session can fail, what to do next. Each case here
// makes one of those failures, checks that the directory shows what the guide's row names,
// follows the row's advice as written, and checks that the advice works.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "children/input_files.hpp"
#include "children/state_files.hpp"
#include "session/parent_link.hpp"
#include "support/supervised_session.hpp"

namespace quillmere {
namespace {

using reference::SupervisorMode;
using testing::Role;
using testing::SupervisedSession;

constexpr uid_t kOwner = testing::kNobodyUid;

enum class Advice {
    run_again_here,    // nothing was written: fix it, bind the socket anew, run again
    run_in_fresh,      // no recovery: run again in a fresh directory
    recover_here,      // run recover in this directory
    recover_in_fresh,  // recover in a fresh directory with good input files
};

struct Failure {
    SupervisedSession& session;
    testing::SupervisorRun& run;
    std::thread killer = {};
};

struct AdviceCase {
    const char* name;
    SupervisorMode mode;
    std::function<void(Failure&)> fails;
    std::set<std::string> left;  // the state files the guide's row names
    Advice advice;
    // Where the advice depends on what the checker reads: its finding and words in it.
    const char* finding = nullptr;
    const char* words = nullptr;
};

void PrintTo(const AdviceCase& c, std::ostream* out) { *out << c.name; }

// Kills the supervisor with SIGKILL once the child of `role` has started, as a crash or an
// impatient parent would.
void kill_supervisor_during(Failure& f, Role role) {
    f.run.before_start = [&f, role] {
        f.killer = std::thread([&session = f.session, role] {
            const Deadline deadline = Deadline::after(seconds(10));
            // For the core, once the supervisor has recorded it too.
            const auto started = [&] {
                return session.record(role) && (role != Role::core || session.state_file(kCorePidFile));
            };
            while (!started() && !deadline.passed()) sleep_for(milliseconds(10));
            const auto child = session.record(role);
            const auto pid = session.state_file(kHelperPidFile);
            if (!child || !pid) return;
            ::kill(std::stoi(*pid), SIGKILL);
            // The child dies with it and comes to this process, the subreaper, to be reaped.
            int status = 0;
            while (::waitpid(child->pid, &status, 0) < 0 && (errno == EINTR || errno == ECHILD) && !deadline.passed())
                sleep_for(milliseconds(10));
        });
    };
}

void refuse_configuration(Failure& f) {
    ASSERT_EQ(::chmod(f.session.path(kCoreConfigurationName).c_str(), 0644), 0);
    f.session.remember_inputs();
}

const AdviceCase kCases[] = {
    {"RefusedAtTheHandshake",
     SupervisorMode::run,
     [](Failure& f) { f.run.socket.mode = 0644; },
     {},
     Advice::run_again_here},
    {"PreflightSaidNo",
     SupervisorMode::run,
     [](Failure& f) { f.session.set_knob(Role::preflight, "EXIT", "1"); },
     {"helper.pid", "done"},
     Advice::run_in_fresh,
     "left/no-core",
     "the preflight refused"},
    {"InputFileRefused",
     SupervisorMode::run,
     refuse_configuration,
     {"helper.pid"},
     Advice::run_in_fresh,
     "left/helper.pid",
     "no recovery is needed"},
    {"KilledInThePreflight",
     SupervisorMode::run,
     [](Failure& f) {
         f.session.set_knob(Role::preflight, "SLEEP_MS", "5000");
         kill_supervisor_during(f, Role::preflight);
     },
     {"helper.pid"},
     Advice::recover_in_fresh,
     "left/helper.pid",
     "recover in a fresh directory with good input files"},
    {"KilledWhileTheCoreRuns",
     SupervisorMode::run,
     [](Failure& f) {
         f.session.set_knob(Role::core, "RUN_UNTIL_SIGNALLED", "1");
         kill_supervisor_during(f, Role::core);
     },
     {"helper.pid", "core.pid"},
     Advice::recover_here,
     "left/no-end-marker",
     "run recover"},
    {"CleanupRefused",
     SupervisorMode::run,
     [](Failure& f) { f.session.set_knob(Role::cleanup, "EXIT", "3"); },
     {"helper.pid", "core.pid", "core-exit", "cleanup-error"},
     Advice::recover_in_fresh,
     "left/cleanup-error",
     "recover in a fresh directory"},
    {"RecoveryRefusedAnInput",
     SupervisorMode::recover,
     refuse_configuration,
     {"recovery.pid"},
     Advice::recover_in_fresh,
     "left/recovery.pid",
     "recover in a fresh directory with good input files"},
    {"RecoveryCleanupRefused",
     SupervisorMode::recover,
     [](Failure& f) { f.session.set_knob(Role::cleanup, "EXIT", "3"); },
     {"recovery.pid", "cleanup-error"},
     Advice::recover_in_fresh,
     "left/cleanup-error",
     "recover in a fresh directory"},
};

std::set<std::string> state_files(const SupervisedSession& session) {
    std::set<std::string> present;
    for (const std::string_view name :
         {kHelperPidFile, kRecoveryPidFile, kCorePidFile, kCoreExitFile, kDoneFile, kCleanupErrorFile})
        if (session.state_file(name)) present.insert(std::string(name));
    return present;
}

// The sentence of one finding of the checker, run as the owner after the supervisor exited.
std::optional<std::string> finding_after(const SupervisedSession& session, SupervisorMode mode, pid_t supervisor,
                                         std::string_view check) {
    testing::RunOptions as_owner;
    as_owner.uid = kOwner;
    const auto checked = testing::run_program(testing::session_check_binary(),
                                              {"--finished", "--supervisor-pid", std::to_string(supervisor), "--mode",
                                               std::string(reference::mode_word(mode)), "--json", session.dir().path()},
                                              as_owner);
    const nlohmann::json document = nlohmann::json::parse(checked.standard_output, nullptr, false);
    if (!document.is_object()) return std::nullopt;
    for (const auto& finding : document.at("checks"))
        if (finding.at("check") == check) return finding.at("sentence").get<std::string>();
    return std::nullopt;
}

testing::Inputs owned_inputs(const std::string& base) {
    testing::Inputs inputs;
    inputs.base_dir = base;
    inputs.owner = reference::Owner::of_uid(kOwner);
    return inputs;
}

class FailureAdvice : public ::testing::TestWithParam<AdviceCase> {};

TEST_P(FailureAdvice, FollowingTheGuideWorks) {
    if (!testing::running_as_root()) GTEST_SKIP() << "the supervisor's run needs root";
    const AdviceCase& c = GetParam();
    testing::ScratchDir base;
    ASSERT_EQ(::chmod(base.path().c_str(), 0755), 0);
    auto session = std::make_unique<SupervisedSession>(owned_inputs(base.path()));

    testing::SupervisorRun run;
    Failure failure{*session, run, {}};
    ASSERT_NO_FATAL_FAILURE(c.fails(failure));
    std::optional<std::string> sentence;
    if (c.finding != nullptr)
        run.after_exit = [&](const reference::SupervisorOutcome& outcome) {
            sentence = finding_after(*session, c.mode, outcome.pid, c.finding);
        };
    const auto failed = session->run(c.mode, run);
    if (failure.killer.joinable()) failure.killer.join();
    EXPECT_NE(failed.supervisor.exit_code(), std::optional<int>(0));
    EXPECT_EQ(state_files(*session), c.left);
    if (c.finding != nullptr) {
        ASSERT_TRUE(sentence.has_value()) << "the checker gave no " << c.finding;
        EXPECT_NE(sentence->find(c.words), std::string::npos) << *sentence;
    }

    // The advice, as the guide words it.
    SupervisorMode next = SupervisorMode::run;
    switch (c.advice) {
    case Advice::run_again_here: ASSERT_EQ(::unlink(session->path(kParentSocketName).c_str()), 0); break;
    case Advice::recover_here: next = SupervisorMode::recover; break;
    case Advice::run_in_fresh:
    case Advice::recover_in_fresh:
        session.reset();
        session = std::make_unique<SupervisedSession>(owned_inputs(base.path()));
        next = c.advice == Advice::run_in_fresh ? SupervisorMode::run : SupervisorMode::recover;
        break;
    }
    if (c.advice == Advice::recover_here) session->clear_records();
    const auto followed = session->run(next, testing::SupervisorRun{});
    testing::expect_exit(followed, 0);
    EXPECT_TRUE(session->state_file(kDoneFile).has_value());
}

INSTANTIATE_TEST_SUITE_P(Rows, FailureAdvice, ::testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace quillmere
