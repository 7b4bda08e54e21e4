// "run" end to end, as the parent application drives it: the reference parent on the socket,
// the stand-in child as the guard's runtime and as the core, each answering as the case needs.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "children/input_files.hpp"
#include "children/state_files.hpp"
#include "linux/path.hpp"
#include "linux/unique_fd.hpp"
#include "session/stop_request.hpp"
#include "support/supervised_session.hpp"

namespace quillmere {
namespace {

using reference::Afterwards;
using reference::Script;
using reference::SupervisorMode;
using testing::Role;
using testing::SupervisedSession;

// Generous bounds around the fixed limits, yet each fails a limit half or twice as long.
constexpr Nanoseconds kStopNoticedWithin = milliseconds(500);  // polled every 100 ms
constexpr Nanoseconds kGraceLow = milliseconds(3000);          // 4 s grace after SIGTERM
constexpr Nanoseconds kGraceHigh = milliseconds(6000);
// Wake-ups per second while the supervisor waits: one per pass of its polling loop.
constexpr double kCorePollsPerSecond = 10;   // every 100 ms while the core runs
constexpr double kGuardPollsPerSecond = 20;  // every 50 ms while a guard runs
constexpr double kPollRateTolerance = 1.4;   // a factor either way

#define SKIP_UNLESS_ROOT()                     \
    if (!testing::running_as_root()) {         \
        GTEST_SKIP() << "run mode needs root"; \
    }                                          \
    static_assert(true)

// A run that ended with the clean-up done and "done" written, whatever the exit status.
void expect_cleaned_up_with_done(const SupervisedSession& session) {
    EXPECT_TRUE(session.record(Role::cleanup).has_value()) << "the clean-up guard did not run";
    EXPECT_EQ(session.state_file(kDoneFile), std::optional(session.completion_document()));
    EXPECT_FALSE(session.state_file(kCleanupErrorFile).has_value());
}

void expect_core_not_started(const SupervisedSession& session) {
    EXPECT_FALSE(session.record(Role::core).has_value()) << "the core was started";
    EXPECT_FALSE(session.state_file(kCorePidFile).has_value());
    EXPECT_FALSE(session.state_file(kCoreExitFile).has_value());
}

std::string canonical(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// "helper.pid" names the supervisor, which is the parent of every child it started.
void expect_helper_pid_is_parent_of(const SupervisedSession& session, Role role) {
    const auto seen = session.record(role);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(session.state_file(kHelperPidFile), std::optional(std::to_string(seen->ppid)));
}

// --- The core ends by itself ----------------------------------------------------------------

struct CoreEndCase {
    const char* name;
    const char* knob;
    const char* value;
    const char* core_exit;
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const CoreEndCase& c, std::ostream* out) { *out << c.name; }

class CoreEndsByItself : public ::testing::TestWithParam<CoreEndCase> {};

TEST_P(CoreEndsByItself, IsCleanedUpAndTheRunSucceeds) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    session.set_knob(Role::core, GetParam().knob, GetParam().value);

    const auto report = session.run(SupervisorMode::run, Script{});
    testing::expect_exit(report, 0);
    expect_cleaned_up_with_done(session);
    const auto core = session.record(Role::core);
    ASSERT_TRUE(core.has_value());
    // Written although the core may have been gone before the first look at it.
    EXPECT_EQ(session.state_file(kCorePidFile), std::optional(std::to_string(core->pid)));
    EXPECT_EQ(session.state_file(kCoreExitFile), std::optional<std::string>(GetParam().core_exit));
    EXPECT_EQ(testing::file_mode(session.path(kCoreExitFile)), 0644U);
    expect_helper_pid_is_parent_of(session, Role::core);
    // One child at a time, in the order of the run.
    ASSERT_TRUE(session.record_time(Role::preflight).has_value());
    EXPECT_LE(*session.record_time(Role::preflight), *session.record_time(Role::core));
    EXPECT_LE(*session.record_time(Role::core), *session.record_time(Role::cleanup));
}

INSTANTIATE_TEST_SUITE_P(
    Ends, CoreEndsByItself,
    ::testing::Values(CoreEndCase{"ExitCode0", "EXIT", "0", R"({"format":1,"exit_code":0,"stop_requested":false})"},
                      CoreEndCase{"ExitCode2", "EXIT", "2", R"({"format":1,"exit_code":2,"stop_requested":false})"},
                      CoreEndCase{"KilledBySignal", "SIGNAL", "9",
                                  R"({"format":1,"signal":9,"stop_requested":false})"}),
    [](const auto& test) { return std::string(test.param.name); });

// --- A stop wanted before the preflight ------------------------------------------------------

struct EarlyStopCase {
    const char* name;
    bool marker_before_start;
    Script script;
    std::size_t configuration_bytes;
};

void PrintTo(const EarlyStopCase& c, std::ostream* out) { *out << c.name; }

class StopBeforePreflight : public ::testing::TestWithParam<EarlyStopCase> {};

TEST_P(StopBeforePreflight, SkipsPreflightAndCoreButCleansUpAndFails) {
    SKIP_UNLESS_ROOT();
    testing::Inputs inputs;
    // A large configuration keeps the supervisor busy sealing it while a parent that hangs up
    // right after its acknowledgement gets to do so before the stop checkpoint.
    if (GetParam().configuration_bytes != 0) inputs.configuration_bytes.assign(GetParam().configuration_bytes, ' ');
    SupervisedSession session(inputs);
    if (GetParam().marker_before_start) {
        ASSERT_TRUE(session.dir().request_stop().has_value());
    }

    const auto report = session.run(SupervisorMode::run, GetParam().script);
    testing::expect_exit(report, 1);
    EXPECT_FALSE(session.record(Role::preflight).has_value()) << "the preflight guard ran";
    expect_core_not_started(session);
    expect_cleaned_up_with_done(session);
    expect_helper_pid_is_parent_of(session, Role::cleanup);
}

INSTANTIATE_TEST_SUITE_P(Stops, StopBeforePreflight,
                         ::testing::Values(EarlyStopCase{"StopMarkerBeforeStart", true, Script{}, 0},
                                           EarlyStopCase{"LinkClosedRightAfterTheAcknowledgement", false,
                                                         Script{.afterwards = Afterwards::close, .afterwards_delay = 0},
                                                         std::size_t{3} * 1024 * 1024},
                                           EarlyStopCase{"ByteWrittenWithTheAcknowledgement", false,
                                                         Script{.acknowledgement = "OK\nX"}, 0}),
                         [](const auto& test) { return std::string(test.param.name); });

// --- A stop wanted while the preflight runs -------------------------------------------------

constexpr int kSlowPreflightMs = 1500;

struct PreflightStopCase {
    const char* name;
    Script script;
    std::optional<Nanoseconds> reference::Timeline::*stopped_at;
};

void PrintTo(const PreflightStopCase& c, std::ostream* out) { *out << c.name; }

class StopDuringPreflight : public ::testing::TestWithParam<PreflightStopCase> {};

TEST_P(StopDuringPreflight, LetsThePreflightFinishThenSkipsTheCore) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    session.set_knob(Role::preflight, "SLEEP_MS", std::to_string(kSlowPreflightMs));

    const auto report = session.run(SupervisorMode::run, GetParam().script);
    testing::expect_exit(report, 1);
    ASSERT_TRUE(report.timeline.has_value());
    EXPECT_TRUE(((*report.timeline).*GetParam().stopped_at).has_value()) << "the parent never asked for the stop";
    ASSERT_TRUE(session.record(Role::preflight).has_value());
    expect_core_not_started(session);
    expect_cleaned_up_with_done(session);
    // The preflight was not cut short: the clean-up started only after its whole sleep.
    const auto preflight_started = session.record_time(Role::preflight);
    const auto cleanup_started = session.record_time(Role::cleanup);
    ASSERT_TRUE(preflight_started && cleanup_started);
    EXPECT_GE(*cleanup_started - *preflight_started, (kSlowPreflightMs - 100) * 1'000'000LL);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, StopDuringPreflight,
    ::testing::Values(PreflightStopCase{"StopMarker", Script{.stop_marker_after = milliseconds(300)},
                                        &reference::Timeline::stop_requested},
                      PreflightStopCase{"LinkClosed",
                                        Script{.afterwards = Afterwards::close, .afterwards_delay = milliseconds(300)},
                                        &reference::Timeline::parent_closed}),
    [](const auto& test) { return std::string(test.param.name); });

// --- A stop wanted while the core runs ------------------------------------------------------

// Long after the stand-in preflight has answered and the core is up.
constexpr Nanoseconds kStopDuringCoreAfter = milliseconds(1500);

struct CoreStopCase {
    const char* name;
    Script script;
    std::optional<Nanoseconds> reference::Timeline::*stopped_at;
};

void PrintTo(const CoreStopCase& c, std::ostream* out) { *out << c.name; }

class StopDuringCore : public ::testing::TestWithParam<CoreStopCase> {};

TEST_P(StopDuringCore, TerminatesTheCoreAtOnceThenCleansUpAndSucceeds) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    session.set_knob(Role::core, "RUN_UNTIL_SIGNALLED", "1");

    const auto report = session.run(SupervisorMode::run, GetParam().script);
    testing::expect_exit(report, 0);
    ASSERT_TRUE(report.timeline.has_value());
    const auto stopped = (*report.timeline).*GetParam().stopped_at;
    const auto terminated = session.core_term_time();
    ASSERT_TRUE(stopped.has_value()) << "the parent never asked for the stop";
    ASSERT_TRUE(terminated.has_value()) << "the core never got SIGTERM";
    EXPECT_GE(*terminated, *stopped);
    EXPECT_LT(*terminated - *stopped, kStopNoticedWithin);
    const auto core = session.record(Role::core);
    ASSERT_TRUE(core.has_value());
    EXPECT_EQ(session.state_file(kCorePidFile), std::optional(std::to_string(core->pid)));
    EXPECT_EQ(session.state_file(kCoreExitFile),
              std::optional<std::string>(R"({"format":1,"signal":15,"stop_requested":true})"));
    expect_cleaned_up_with_done(session);
}

INSTANTIATE_TEST_SUITE_P(Stops, StopDuringCore,
                         ::testing::Values(CoreStopCase{"StopMarker", Script{.stop_marker_after = kStopDuringCoreAfter},
                                                        &reference::Timeline::stop_requested},
                                           CoreStopCase{"LinkClosed",
                                                        Script{.afterwards = Afterwards::close,
                                                               .afterwards_delay = kStopDuringCoreAfter},
                                                        &reference::Timeline::parent_closed},
                                           CoreStopCase{"ByteWritten",
                                                        Script{.afterwards = Afterwards::write_byte,
                                                               .afterwards_delay = kStopDuringCoreAfter},
                                                        &reference::Timeline::byte_written}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(RunMode, CoreIgnoringSigtermIsKilledAfterItsGraceAndTheRunStillSucceeds) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    session.set_knob(Role::core, "RUN_UNTIL_SIGNALLED", "1");
    session.set_knob(Role::core, "IGNORE_TERM", "1");

    const auto report = session.run(SupervisorMode::run, Script{.stop_marker_after = milliseconds(1000)});
    testing::expect_exit(report, 0);
    const auto terminated = session.core_term_time();
    ASSERT_TRUE(terminated.has_value()) << "the core never got SIGTERM";
    // Everything after the kill (reap, clean-up, "done") is quick, so the grace dominates.
    EXPECT_GE(report.supervisor.ended - *terminated, kGraceLow);
    EXPECT_LT(report.supervisor.ended - *terminated, kGraceHigh);
    EXPECT_EQ(session.state_file(kCoreExitFile),
              std::optional<std::string>(R"({"format":1,"signal":9,"stop_requested":true})"));
    expect_cleaned_up_with_done(session);
}

// The voluntary context switches of `pid` so far: each sleep of a polling loop is one.
std::optional<long long> voluntary_switches(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long long value = 0;
    while (status >> key) {
        if (key == "voluntary_ctxt_switches:" && status >> value) return value;
    }
    return std::nullopt;
}

// How often `pid` woke up per second over `window`, or 0 when it could not be read.
double wakeups_per_second(pid_t pid, Nanoseconds window) {
    const Nanoseconds start = monotonic_now();
    const auto before = voluntary_switches(pid);
    sleep_for(window);
    const auto after = voluntary_switches(pid);
    if (!before || !after) return 0;
    return static_cast<double>(*after - *before) * 1e9 / static_cast<double>(monotonic_now() - start);
}

// Waits for the child of `role` to start and returns its record.
std::optional<testing::StandInRecord> wait_for_start(const SupervisedSession& session, Role role) {
    std::optional<testing::StandInRecord> seen;
    const Deadline deadline = Deadline::after(seconds(20));
    while (!(seen = session.record(role)).has_value() && !deadline.passed()) sleep_for(milliseconds(10));
    return seen;
}

TEST(RunMode, PollsEveryFiftyMillisecondsWhileAGuardRunsAndEveryHundredWhileTheCoreRuns) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    session.set_knob(Role::preflight, "SLEEP_MS", "2500");
    session.set_knob(Role::core, "RUN_UNTIL_SIGNALLED", "1");

    testing::RunReport report;
    std::thread run([&] { report = session.run(SupervisorMode::run, Script{.stop_marker_after = seconds(6)}); });
    double guard_rate = 0;
    double core_rate = 0;
    if (const auto preflight = wait_for_start(session, Role::preflight)) {
        sleep_for(milliseconds(300));
        guard_rate = wakeups_per_second(preflight->ppid, milliseconds(1500));
    }
    if (const auto core = wait_for_start(session, Role::core)) {
        sleep_for(milliseconds(200));
        core_rate = wakeups_per_second(core->ppid, seconds(2));
    }
    run.join();

    testing::expect_exit(report, 0);
    EXPECT_GT(guard_rate, kGuardPollsPerSecond / kPollRateTolerance);
    EXPECT_LT(guard_rate, kGuardPollsPerSecond * kPollRateTolerance);
    EXPECT_GT(core_rate, kCorePollsPerSecond / kPollRateTolerance);
    EXPECT_LT(core_rate, kCorePollsPerSecond * kPollRateTolerance);
}

// --- The guard's answers --------------------------------------------------------------------

TEST(RunMode, PreflightAnsweringNoKeepsTheCoreDownButCleansUpAndFails) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    session.set_knob(Role::preflight, "EXIT", "1");

    const auto report = session.run(SupervisorMode::run, Script{});
    testing::expect_exit(report, 1);
    EXPECT_TRUE(session.record(Role::preflight).has_value());
    expect_core_not_started(session);
    expect_cleaned_up_with_done(session);
}

TEST(RunMode, CleanupAnsweringNoLeavesAnEmptyCleanupErrorAndFails) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    session.set_knob(Role::cleanup, "EXIT", "1");

    const auto report = session.run(SupervisorMode::run, Script{});
    testing::expect_exit(report, 1);
    EXPECT_TRUE(session.record(Role::core).has_value());
    EXPECT_TRUE(session.record(Role::cleanup).has_value());
    EXPECT_EQ(session.state_file(kCleanupErrorFile), std::optional<std::string>(""));
    EXPECT_EQ(testing::file_mode(session.path(kCleanupErrorFile)), 0644U);
    EXPECT_FALSE(session.state_file(kDoneFile).has_value());
}

// --- Processes the children leave behind ----------------------------------------------------

struct LeftBehindCase {
    const char* name;
    SupervisorMode mode;
    std::vector<std::pair<Role, const char*>> knobs;
    int status;
};

void PrintTo(const LeftBehindCase& c, std::ostream* out) { *out << c.name; }

class HelpersLeftBehind : public ::testing::TestWithParam<LeftBehindCase> {};

// The aftermath checks of every run do the work: the session's harness is itself a subreaper,
// so a helper that outlived the supervisor, or was never reaped by it, is handed to it and found.
TEST_P(HelpersLeftBehind, AreEndedBeforeTheSupervisorExits) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    for (const auto& [role, knob] : GetParam().knobs) {
        const std::string_view setting(knob);
        const std::size_t equals = setting.find('=');
        session.set_knob(role, setting.substr(0, equals), std::string(setting.substr(equals + 1)));
    }
    testing::SupervisorRun options;
    options.listen = GetParam().mode == SupervisorMode::run;
    options.script = Script{.stop_marker_after = milliseconds(1000)};
    const auto report = session.run(GetParam().mode, options);
    testing::expect_exit(report, GetParam().status);
    EXPECT_TRUE(session.record(Role::cleanup).has_value()) << "the clean-up guard did not run";
}

INSTANTIATE_TEST_SUITE_P(
    Sweep, HelpersLeftBehind,
    ::testing::Values(
        LeftBehindCase{"PreflightHelperIgnoringSigtermAndCoreChild",
                       SupervisorMode::run,
                       {{Role::preflight, "LEAVE_HELPER=ignore-term"},
                        {Role::core, "LEAVE_HELPER=term"},
                        {Role::core, "RUN_UNTIL_SIGNALLED=1"}},
                       0},
        LeftBehindCase{"RefusingCleanupHelper",
                       SupervisorMode::run,
                       {{Role::cleanup, "LEAVE_HELPER=ignore-term"}, {Role::cleanup, "EXIT=1"}},
                       1},
        LeftBehindCase{
            "RecoveryCleanupHelper", SupervisorMode::recover, {{Role::cleanup, "LEAVE_HELPER=ignore-term"}}, 0},
        LeftBehindCase{
            "NestedHelperHandedOnAsItDies", SupervisorMode::recover, {{Role::cleanup, "LEAVE_HELPER=nested"}}, 0}),
    [](const auto& test) { return std::string(test.param.name); });

// Generous bounds around the sweep's 1 s between SIGTERM and SIGKILL, yet each fails a grace
// half or twice as long.
constexpr Nanoseconds kSweepGraceLow = milliseconds(500);
constexpr Nanoseconds kSweepGraceHigh = milliseconds(2000);

// A helper that takes note of SIGTERM and stays: it gets SIGTERM first, then its grace to undo
// what it did, before SIGKILL ends it and, right after, the supervisor exits.
TEST(Sweep, SendsSigtermThenGivesTheGraceBeforeSigkill) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    const testing::ScratchDir scratch;
    const std::string term = scratch.file("helper.term");
    session.set_knob(Role::cleanup, "LEAVE_HELPER", "term");
    session.set_knob(Role::cleanup, "HELPER_ON_TERM_RECORD", term);
    testing::SupervisorRun options;
    options.listen = false;
    const auto report = session.run(SupervisorMode::recover, options);
    testing::expect_exit(report, 0);
    ASSERT_TRUE(testing::path_exists(term)) << "the helper never got SIGTERM";
    const auto terminated = static_cast<Nanoseconds>(std::stoll(testing::read_file(term)));
    EXPECT_GE(report.supervisor.ended - terminated, kSweepGraceLow);
    EXPECT_LT(report.supervisor.ended - terminated, kSweepGraceHigh);
}

// Orphans that end at once, as `( sleep 0.01 & )` leaves them, are reaped while the guard or
// the core still runs, not kept as zombies until the end: each counts its zombie siblings.
TEST(Sweep, OrphansThatEndAreReapedWhileAGuardOrTheCoreRuns) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    const testing::ScratchDir scratch;
    for (const Role role : {Role::preflight, Role::core}) {
        session.set_knob(role, "LEAVE_ORPHANS", "100");
        session.set_knob(role, "SLEEP_MS", "500");
        session.set_knob(role, "ZOMBIE_SIBLINGS", scratch.file(role == Role::core ? "core" : "preflight"));
    }
    session.set_knob(Role::core, "RUN_UNTIL_SIGNALLED", "1");
    const auto report = session.run(SupervisorMode::run, Script{.stop_marker_after = seconds(4)});
    testing::expect_exit(report, 0);
    EXPECT_EQ(testing::read_file(scratch.file("preflight")), "0\n") << "zombies while the preflight ran";
    EXPECT_EQ(testing::read_file(scratch.file("core")), "0\n") << "zombies while the core ran";
}

// A launcher that forks and then executes the supervisor passes its child on. That child was
// never the session's, and root must not end it on the launcher's behalf.
TEST(Sweep, SparesTheChildrenTheSupervisorWasStartedWith) {
    SKIP_UNLESS_ROOT();
    for (const SupervisorMode mode : {SupervisorMode::run, SupervisorMode::recover}) {
        SCOPED_TRACE(std::string(reference::mode_word(mode)));
        SupervisedSession session;
        const testing::ScratchDir scratch;
        testing::SupervisorRun options;
        options.listen = mode == SupervisorMode::run;
        options.script = Script{.stop_marker_after = milliseconds(1000)};
        options.launcher_children_file = scratch.file("launcher-children");
        options.launcher = {"/bin/sh", "-c",
                            "/bin/sleep 600 </dev/null >/dev/null 2>&1 & echo $! >" + options.launcher_children_file +
                                " && exec \"$@\"",
                            "sh"};
        session.set_knob(Role::core, "RUN_UNTIL_SIGNALLED", "1");
        const auto report = session.run(mode, options);
        testing::expect_exit(report, 0);
    }
}

// --- Failures are never taken for a core that was not started ------------------------------

// Only an error of the last stop check before the launch could pass for "not started": it is
// injected there (the second look at the marker) and must fail the run without the clean-up.
TEST(RunMode, AnInterruptedStopCheckBeforeTheLaunchFailsWithoutCleanup) {
    SKIP_UNLESS_ROOT();
    if (!testing::path_exists("/usr/bin/strace")) GTEST_SKIP() << "needs strace";
    SupervisedSession session;
    testing::SupervisorRun options;
    options.launcher = {"/usr/bin/strace",
                        "-qq",
                        "-o",
                        "/dev/null",
                        "-P",
                        canonical(session.dir().path()) + "/" + std::string(kStopMarkerName),
                        "-e",
                        "trace=newfstatat",
                        "-e",
                        "inject=newfstatat:error=EINTR:when=2",
                        "--"};

    const auto report = session.run(SupervisorMode::run, options);
    testing::expect_exit(report, 1);
    EXPECT_TRUE(session.record(Role::preflight).has_value());
    expect_core_not_started(session);
    EXPECT_FALSE(session.record(Role::cleanup).has_value()) << "the error was taken for a core not started";
    EXPECT_FALSE(session.state_file(kDoneFile).has_value());
}

// --- What an earlier session left behind ----------------------------------------------------

TEST(RunMode, SecondRunInTheSameDirectoryFailsAtItsPidFileWithoutAnyChild) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    const auto first = session.run(SupervisorMode::run, Script{});
    testing::expect_exit(first, 0);
    const auto helper_pid = session.state_file(kHelperPidFile);
    ASSERT_TRUE(helper_pid.has_value());
    session.clear_records();

    const auto second = session.run(SupervisorMode::run, Script{});
    testing::expect_exit(second, 1);
    ASSERT_TRUE(second.timeline.has_value());
    EXPECT_TRUE(second.timeline->hello_matched) << "the second supervisor did not get as far as the handshake";
    for (const Role role : {Role::preflight, Role::core, Role::cleanup})
        EXPECT_FALSE(session.record(role).has_value()) << "a child was started";
    EXPECT_EQ(session.state_file(kHelperPidFile), helper_pid);
    EXPECT_EQ(session.state_file(kDoneFile), std::optional(session.completion_document()));
}

TEST(RunMode, LeftoverCorePidKillsTheNewCoreAtOnceWithoutCleanup) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    ASSERT_TRUE(session.dir().write_file(kCorePidFile, "leftover", 0644).has_value());
    // A core that would run until the supervisor's time limit unless it is killed.
    session.set_knob(Role::core, "RUN_UNTIL_SIGNALLED", "1");

    const auto report = session.run(SupervisorMode::run, Script{});
    testing::expect_exit(report, 1);
    EXPECT_LT(report.supervisor.ended - report.supervisor.started, seconds(3));
    EXPECT_TRUE(session.record(Role::preflight).has_value());
    EXPECT_FALSE(session.record(Role::cleanup).has_value()) << "the clean-up guard ran";
    EXPECT_FALSE(session.core_term_time().has_value()) << "the core was given a grace";
    EXPECT_EQ(session.state_file(kCorePidFile), std::optional<std::string>("leftover"));
    EXPECT_FALSE(session.state_file(kDoneFile).has_value());
    EXPECT_FALSE(session.state_file(kCleanupErrorFile).has_value());
}

// A state file due after the core that cannot be written (an earlier one holds the name) fails
// the run, but only once the host has been cleaned up: the clean-up still runs, and "done" too
// when it is not the one in the way.
TEST(RunMode, LeftoverStateFileAfterTheCoreFailsTheRunButNotTheCleanup) {
    SKIP_UNLESS_ROOT();
    for (const std::string_view leftover : {kCoreExitFile, kDoneFile}) {
        SCOPED_TRACE(leftover);
        SupervisedSession session;
        ASSERT_TRUE(session.dir().write_file(leftover, "earlier", 0644).has_value());

        const auto report = session.run(SupervisorMode::run, Script{});
        testing::expect_exit(report, 1);
        EXPECT_TRUE(session.record(Role::core).has_value());
        EXPECT_TRUE(session.record(Role::cleanup).has_value());
        EXPECT_EQ(session.state_file(leftover), std::optional<std::string>("earlier"));
        if (leftover != kDoneFile) {
            EXPECT_EQ(session.state_file(kDoneFile), std::optional(session.completion_document()));
        }
        EXPECT_FALSE(session.state_file(kCleanupErrorFile).has_value());
    }
}

// --- Failures before any child --------------------------------------------------------------

TEST(RunMode, MissingCoreExecutableFailsBeforeAnyGuardRun) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session(testing::Inputs{.core = false});

    const auto report = session.run(SupervisorMode::run, Script{});
    testing::expect_exit(report, 1);
    EXPECT_TRUE(session.state_file(kHelperPidFile).has_value());
    for (const Role role : {Role::preflight, Role::core, Role::cleanup})
        EXPECT_FALSE(session.record(role).has_value()) << "a child was started";
    EXPECT_FALSE(session.state_file(kDoneFile).has_value());
}

TEST(RunMode, StopMarkerThatIsADirectoryFailsWithoutCleanup) {
    SKIP_UNLESS_ROOT();
    SupervisedSession session;
    ASSERT_EQ(::mkdir(session.path(kStopMarkerName).c_str(), 0700), 0);

    const auto report = session.run(SupervisorMode::run, Script{});
    testing::expect_exit(report, 1);
    for (const Role role : {Role::preflight, Role::core, Role::cleanup})
        EXPECT_FALSE(session.record(role).has_value()) << "a child was started";
    EXPECT_FALSE(session.state_file(kDoneFile).has_value());
    EXPECT_FALSE(session.state_file(kCleanupErrorFile).has_value());
}

// --- A program someone can still write to ---------------------------------------------------

// A writer that opened a program while it was writable by all (created 0666, then tightened to
// 0700): every rule on its metadata is met afterwards. It either keeps its descriptor open, or
// rewrites the program once the supervisor has checked it and closes the descriptor, so that
// exec would run the new bytes as root.
struct HeldWriterCase {
    std::string_view file;
    SupervisorMode mode;
    bool writes_then_closes;
};

void PrintTo(const HeldWriterCase& c, std::ostream* out) {
    *out << c.file << (c.writes_then_closes ? " rewritten" : " held") << " in " << reference::mode_word(c.mode);
}

std::vector<HeldWriterCase> held_writer_cases() {
    std::vector<HeldWriterCase> cases;
    for (const std::string_view file : {kNodeExecutableName, kCoreExecutableName})
        for (const SupervisorMode mode : {SupervisorMode::run, SupervisorMode::recover})
            for (const bool writes_then_closes : {false, true})
                if (file != kCoreExecutableName || mode == SupervisorMode::run)
                    cases.push_back({file, mode, writes_then_closes});
    return cases;
}

// Whether process `pid` holds the memory file made under `name`.
bool holds_memory_file(const std::string& pid, std::string_view name) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fd", ignored)) {
        const auto target = std::filesystem::read_symlink(entry.path(), ignored);
        if (target.string() == "/memfd:" + std::string(name) + " (deleted)") return true;
    }
    return false;
}

class HeldWriter : public ::testing::TestWithParam<HeldWriterCase> {};

TEST_P(HeldWriter, IsRefusedBeforeAnyChildStarts) {
    SKIP_UNLESS_ROOT();
    if (!testing::path_exists("/usr/bin/strace")) GTEST_SKIP() << "needs strace";
    const HeldWriterCase& c = GetParam();
    SupervisedSession session;
    testing::ScratchDir scratch;
    UniqueFd writer = session.hold_for_writing(c.file, 0700);
    session.remember_inputs();

    // The rewrite waits until the supervisor holds the copy it makes right after checking the
    // file, which a delay injected there keeps open long enough.
    const std::string_view checked_by = c.file == kNodeExecutableName ? "quillmere-vpn-guard" : "quillmere-vpn-config";
    const std::string pid_file = session.path(c.mode == SupervisorMode::run ? kHelperPidFile : kRecoveryPidFile);
    const std::string ran = scratch.file("ran-as-root");
    std::atomic<bool> over{false};
    std::thread rewriter([&] {
        if (!c.writes_then_closes) return;
        while (!over) {
            const std::string pid = testing::read_file(pid_file);
            if (!pid.empty() && holds_memory_file(pid, checked_by)) {
                const std::string program = "#!/bin/sh\necho ran >" + ran + "\n";
                EXPECT_EQ(::pwrite(writer.get(), program.data(), program.size(), 0),
                          static_cast<ssize_t>(program.size()));
                EXPECT_EQ(::ftruncate(writer.get(), static_cast<off_t>(program.size())), 0);
                writer.reset();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    const std::string trace = scratch.file("trace");
    testing::SupervisorRun options;
    options.listen = c.mode == SupervisorMode::run;
    options.launcher = {"/usr/bin/strace",
                        "-qq",
                        "-o",
                        trace,
                        "-e",
                        "trace=clone,clone3,fork,vfork,memfd_create",
                        "-e",
                        "inject=memfd_create:delay_exit=300000",
                        "--"};
    const auto report = session.run(c.mode, options);
    over = true;
    rewriter.join();

    testing::expect_exit(report, 1);
    EXPECT_EQ(testing::read_file(trace).find("clone"), std::string::npos) << "a child was forked";
    EXPECT_FALSE(testing::path_exists(ran)) << "the rewritten program ran as root";
    for (const Role role : {Role::preflight, Role::core, Role::cleanup})
        EXPECT_FALSE(session.record(role).has_value()) << "a child was started";
}

INSTANTIATE_TEST_SUITE_P(Programs, HeldWriter, ::testing::ValuesIn(held_writer_cases()), [](const auto& test) {
    std::string name = test.param.file == kNodeExecutableName ? "Node" : "Core";
    name += test.param.writes_then_closes ? "RewrittenThenClosed" : "KeptOpen";
    return name + (test.param.mode == SupervisorMode::run ? "InARun" : "InARecovery");
});

// --- What the children are given ------------------------------------------------------------

TEST(RunMode, GuardsAreGivenTheCanonicalDirectoryWhenReachedThroughASymlink) {
    SKIP_UNLESS_ROOT();
    const testing::ScratchDir base;
    const std::string real = base.file("real");
    ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(real.c_str(), base.file("link").c_str()), 0);
    SupervisedSession session(testing::Inputs{.base_dir = real});
    const std::string state_dir = canonical(session.dir().path());
    ASSERT_FALSE(state_dir.empty());

    // Built step by step: g++ 12 at -O3 misreads a designated temporary holding this expression.
    std::string link_path = base.file("link");
    link_path += "/quillmere-vpn-";
    link_path += testing::kSessionSuffix;
    testing::SupervisorRun through_link;
    through_link.state_dir_path = link_path;
    const auto report = session.run(SupervisorMode::run, through_link);
    testing::expect_exit(report, 0);
    for (const Role role : {Role::preflight, Role::cleanup}) {
        const auto guard = session.record(role);
        ASSERT_TRUE(guard.has_value());
        ASSERT_EQ(guard->argv.size(), 11U);
        EXPECT_EQ(guard->argv[5], state_dir + "/" + std::string(kGuardScriptName));
        EXPECT_EQ(guard->argv[6], role == Role::preflight ? "preflight" : "cleanup");
        EXPECT_EQ(guard->argv[7], state_dir);
    }
    const auto core = session.record(Role::core);
    ASSERT_TRUE(core.has_value());
    EXPECT_EQ(core->argv.at(0), state_dir + "/" + std::string(kCoreExecutableName));
}

TEST(RunMode, CoreGetsItsExactCommandLineTwoDescriptorsAndAScrubbedEnvironment) {
    SKIP_UNLESS_ROOT();
    // Names the scrub must remove; one it must pass on. (A preload variable would act on the
    // supervisor itself, so none is used here.)
    const testing::ScopedVariable node_options("NODE_OPTIONS", "--require=/nonexistent.js");
    const testing::ScopedVariable ssl_cert_file("SSL_CERT_FILE", "/nonexistent.pem");
    const testing::ScopedVariable gh_token("GH_TOKEN", "secret");
    const testing::ScopedVariable kept("QUILLMERE_E2E_KEPT", "yes");
    SupervisedSession session;

    const auto report = session.run(SupervisorMode::run, Script{});
    testing::expect_exit(report, 0);
    const auto core = session.record(Role::core);
    ASSERT_TRUE(core.has_value());
    const std::string state_dir = session.dir().path();
    ASSERT_EQ(core->argv.size(), 4U);
    EXPECT_EQ(core->argv[0], state_dir + "/" + std::string(kCoreExecutableName));
    EXPECT_EQ(core->argv[1], "run");
    EXPECT_EQ(core->argv[2], "-c");
    const std::string prefix = "/proc/self/fd/";
    ASSERT_EQ(core->argv[3].rfind(prefix, 0), 0U) << core->argv[3];
    const int config_fd = static_cast<int>(std::strtol(core->argv[3].c_str() + prefix.size(), nullptr, 10));
    EXPECT_EQ(core->argv[3], prefix + std::to_string(config_fd));

    std::set<int> inherited;
    for (const auto& [fd, target] : core->descriptors) {
        if (fd > 2) inherited.insert(fd);
    }
    ASSERT_EQ(inherited.size(), 2U);
    ASSERT_TRUE(inherited.contains(config_fd)) << "argv[3] names a descriptor the core does not hold";
    EXPECT_EQ(core->descriptors.at(config_fd).rfind("/memfd:", 0), 0U) << core->descriptors.at(config_fd);
    inherited.erase(config_fd);
    EXPECT_EQ(core->descriptors.at(*inherited.begin()), state_dir + "/" + std::string(kCoreExecutableName));
    EXPECT_EQ(core->config_hash, testing::fnv1a64_hex(testing::kSampleConfiguration));

    for (const Role role : {Role::preflight, Role::core, Role::cleanup}) {
        const auto child = session.record(role);
        ASSERT_TRUE(child.has_value());
        EXPECT_FALSE(child->variable("NODE_OPTIONS").has_value());
        EXPECT_FALSE(child->variable("SSL_CERT_FILE").has_value());
        EXPECT_FALSE(child->variable("GH_TOKEN").has_value());
        EXPECT_EQ(child->variable("QUILLMERE_E2E_KEPT"), std::optional<std::string>("yes"));
    }
}

// The "flags:" line of /proc/PID/fdinfo/FD, in octal; nullopt when it cannot be read.
std::optional<long> descriptor_flags(pid_t pid, int fd) {
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    std::string key;
    std::string value;
    while (info >> key >> value) {
        if (key == "flags:") return std::strtol(value.c_str(), nullptr, 8);
    }
    return std::nullopt;
}

TEST(RunMode, DescriptorsLeakedByTheLauncherAreCloseOnExecInTheSupervisorItself) {
    SKIP_UNLESS_ROOT();
    // The forked children mark every unnamed descriptor close-on-exec on their own, so only the
    // supervisor's own descriptor table shows whether it did so at start.
    // F_DUPFD gives a copy without close-on-exec, as a careless launcher would leave it.
    const int opened = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(opened, 0);
    const int leaked = ::fcntl(opened, F_DUPFD, 40);
    ::close(opened);
    ASSERT_GE(leaked, 40);
    SupervisedSession session;
    session.set_knob(Role::core, "SLEEP_MS", "3000");

    testing::RunReport report;
    std::thread run([&] { report = session.run(SupervisorMode::run, Script{}); });
    std::optional<testing::StandInRecord> core;
    const Deadline deadline = Deadline::after(seconds(20));
    while (!(core = session.record(Role::core)).has_value() && !deadline.passed()) sleep_for(milliseconds(20));
    const std::optional<long> flags = core.has_value() ? descriptor_flags(core->ppid, leaked) : std::nullopt;
    run.join();
    ::close(leaked);

    ASSERT_TRUE(core.has_value()) << "the core was not started";
    EXPECT_FALSE(core->descriptors.contains(leaked));
    ASSERT_TRUE(flags.has_value()) << "the supervisor did not hold the leaked descriptor";
    const long bits = flags.value_or(0);
    EXPECT_NE(bits & O_CLOEXEC, 0) << std::oct << bits;
    testing::expect_exit(report, 0);
}

}  // namespace
}  // namespace quillmere
