// "recover" end to end: only the guard's clean-up, with no parent link, no stop checkpoints and
// no core, driven in a state directory as the parent application leaves it.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "children/input_files.hpp"
#include "children/state_files.hpp"
#include "session/parent_link.hpp"
#include "session/stop_request.hpp"
#include "support/supervised_session.hpp"

namespace quillmere {
namespace {

using reference::Script;
using reference::SupervisorMode;
using testing::Role;
using testing::SupervisedSession;

#define SKIP_UNLESS_ROOT()                         \
    if (!testing::running_as_root()) {             \
        GTEST_SKIP() << "recover mode needs root"; \
    }                                              \
    static_assert(true)

// The clean-up guard is the only child recover ever starts; its parent is the supervisor.
void expect_only_cleanup_ran(const SupervisedSession& session) {
    EXPECT_FALSE(session.record(Role::preflight).has_value()) << "a preflight guard ran";
    EXPECT_FALSE(session.record(Role::core).has_value()) << "a core ran";
    const auto cleanup = session.record(Role::cleanup);
    ASSERT_TRUE(cleanup.has_value()) << "the clean-up guard did not run";
    EXPECT_EQ(cleanup->argv.at(6), "cleanup");
    EXPECT_EQ(session.state_file(kRecoveryPidFile), std::optional(std::to_string(cleanup->ppid)));
}

TEST(RecoverMode, SucceedsWithoutCoreExecutableOrSocket) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session(testing::Inputs{.core = false});

    const auto report = session.run(SupervisorMode::recover, testing::SupervisorRun{.listen = false});
    testing::expect_exit(report, 0);
    expect_only_cleanup_ran(session);
    EXPECT_EQ(session.state_file(kDoneFile), std::optional(session.completion_document()));
    EXPECT_FALSE(session.state_file(kCleanupErrorFile).has_value());
    EXPECT_FALSE(session.state_file(kHelperPidFile).has_value());
    EXPECT_FALSE(session.state_file(kCorePidFile).has_value());
    EXPECT_FALSE(testing::path_exists(session.path(kParentSocketName)));
}

TEST(RecoverMode, CleanupAnsweringNoLeavesAnEmptyCleanupError) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    session.set_knob(Role::cleanup, "EXIT", "3");

    const auto report = session.run(SupervisorMode::recover, Script{});
    testing::expect_exit(report, 1);
    expect_only_cleanup_ran(session);
    EXPECT_EQ(session.state_file(kCleanupErrorFile), std::optional<std::string>(""));
    EXPECT_EQ(testing::file_mode(session.path(kCleanupErrorFile)), 0644U);
    EXPECT_FALSE(session.state_file(kDoneFile).has_value());
}

struct MissingInputCase {
    const char* name;
    testing::Inputs inputs;
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const MissingInputCase& c, std::ostream* out) { *out << c.name; }

class MissingInput : public ::testing::TestWithParam<MissingInputCase> {};

TEST_P(MissingInput, FailsBeforeTheGuardLeavingOnlyTheRecoveryPid) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session(GetParam().inputs);

    const auto report = session.run(SupervisorMode::recover, Script{});
    testing::expect_exit(report, 1);
    EXPECT_TRUE(session.state_file(kRecoveryPidFile).has_value());
    EXPECT_FALSE(session.record(Role::cleanup).has_value()) << "the clean-up guard ran";
    EXPECT_FALSE(session.state_file(kDoneFile).has_value());
    EXPECT_FALSE(session.state_file(kCleanupErrorFile).has_value());
}

INSTANTIATE_TEST_SUITE_P(Inputs, MissingInput,
                         ::testing::Values(MissingInputCase{"TunJson", testing::Inputs{.configuration = false}},
                                           MissingInputCase{"Node", testing::Inputs{.node = false}},
                                           MissingInputCase{"GuardScript", testing::Inputs{.script = false}}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(RecoverMode, SecondRecoveryFailsAtItsPidFileWithoutAnyChild) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    testing::expect_exit(session.run(SupervisorMode::recover, Script{}), 0);
    const auto recovery_pid = session.state_file(kRecoveryPidFile);
    ASSERT_TRUE(recovery_pid.has_value());
    session.clear_records();

    const auto second = session.run(SupervisorMode::recover, Script{});
    testing::expect_exit(second, 1);
    EXPECT_FALSE(session.record(Role::cleanup).has_value()) << "the clean-up guard ran";
    EXPECT_EQ(session.state_file(kRecoveryPidFile), recovery_pid);
    EXPECT_EQ(session.state_file(kDoneFile), std::optional(session.completion_document()));
}

struct StopMarkerCase {
    const char* name;
    bool directory;  // a marker run mode cannot even examine
};

void PrintTo(const StopMarkerCase& c, std::ostream* out) { *out << c.name; }

class StopMarkerIgnored : public ::testing::TestWithParam<StopMarkerCase> {};

TEST_P(StopMarkerIgnored, RecoverRunsItsCleanupAllTheSame) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    if (GetParam().directory) {
        ASSERT_EQ(::mkdir(session.path(kStopMarkerName).c_str(), 0700), 0);
    } else {
        ASSERT_TRUE(session.dir().request_stop().has_value());
    }

    const auto report = session.run(SupervisorMode::recover, Script{});
    testing::expect_exit(report, 0);
    expect_only_cleanup_ran(session);
    EXPECT_EQ(session.state_file(kDoneFile), std::optional(session.completion_document()));
}

INSTANTIATE_TEST_SUITE_P(Markers, StopMarkerIgnored,
                         ::testing::Values(StopMarkerCase{"RegularFile", false}, StopMarkerCase{"Directory", true}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(RecoverMode, AfterARunThatWroteDoneCleansUpAgainButFails) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    testing::expect_exit(session.run(SupervisorMode::run, Script{}), 0);
    const auto done = session.state_file(kDoneFile);
    ASSERT_EQ(done, std::optional(session.completion_document()));
    session.clear_records();

    const auto report = session.run(SupervisorMode::recover, Script{});
    testing::expect_exit(report, 1);
    expect_only_cleanup_ran(session);
    EXPECT_EQ(session.state_file(kDoneFile), done);
    EXPECT_FALSE(session.state_file(kCleanupErrorFile).has_value());
}

TEST(RecoverMode, AsAnotherUserFailsWithoutWritingItsPidFile) {
    SKIP_UNLESS_ROOT();
    // A directory that user could load as its own session: the refusal comes from the
    // privilege rule, not from files it cannot reach.
    const testing::ScratchDir base;
    ASSERT_EQ(::chmod(base.path().c_str(), 0711), 0);
    SupervisedSession session(
        testing::Inputs{.base_dir = base.path(), .owner = reference::Owner::of_uid(testing::kNobodyUid)});

    testing::RunOptions as_nobody;
    as_nobody.uid = testing::kNobodyUid;
    as_nobody.timeout_seconds = 20;
    const auto result = testing::run_supervisor({"recover", session.dir().path()}, as_nobody);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.standard_output, "");
    EXPECT_EQ(result.standard_error, testing::kFailureMarker);
    EXPECT_FALSE(session.state_file(kRecoveryPidFile).has_value());
    EXPECT_FALSE(session.record(Role::cleanup).has_value()) << "the clean-up guard ran";
    EXPECT_FALSE(session.state_file(kDoneFile).has_value());
    session.expect_aftermath(SupervisorMode::recover, std::nullopt, 0);
}

}  // namespace
}  // namespace quillmere
