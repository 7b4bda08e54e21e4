// The supervisor started the way a careless or hostile launcher would (tests/programs/
// hostile_launcher.cpp): descriptors leaked or closed, signals ignored or blocked, low limits,
// armed timers, an odd umask, an empty argument vector. Each session is played by the reference
// parent with stand-in children, under the harness's child subreaper; besides the case's own
// outcome, every case checks what no launcher may change: the supervisor is never ended by a
// signal, no child holds a descriptor or a signal disposition it was not meant to have, every
// state file is readable once complete, and nothing outlives the session. SECURITY.md
// ("Hostile launchers") gives the reasoning for each expected outcome.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <vector>

#include "children/state_files.hpp"
#include "support/supervised_session.hpp"

namespace quillmere {
namespace {

using reference::SupervisorMode;
using testing::Role;
using testing::SupervisedSession;

constexpr std::string_view kLeakFile = "leaked-by-the-launcher";
constexpr std::string_view kStoppedCoreExit = R"({"format":1,"signal":15,"stop_requested":true})";
// Room for "tun.json" and the pid files, but not for "core-exit" or "done".
constexpr std::string_view kTinyFileSize = "40";
constexpr const char* kTinyConfiguration = "{\"log\":{\"level\":\"warn\"}}\n";

enum class Outcome {
    clean_run,      // status 0: helper.pid, core.pid, core-exit (the stop's SIGTERM), done
    quiet_run,      // the clean run, with every child's standard streams on /dev/null
    clean_recover,  // status 0: recovery.pid, done
    refused,        // status 1 and the marker; only the own pid file, no child started
    failed,         // status 1 and the marker
    cleaned_up,     // status 1 and the marker, after the clean-up ran and left its end marker
    untouched,      // status 1 and the marker; nothing written, no child started
    either,         // the clean run, or status 1 and the marker
};

struct HostileCase {
    const char* name;
    SupervisorMode mode;
    std::vector<std::string> options;  // the launcher's
    Outcome outcome;
    // Knobs set for every child, as "NAME=value" without the QUILLMERE_STAND_IN_ prefix.
    std::vector<std::string> child_knobs = {};
    bool children_may_complain = false;
    const char* configuration = nullptr;  // "tun.json", when not the sample
};

std::ostream& operator<<(std::ostream& out, const HostileCase& c) { return out << c.name; }

std::set<std::string> state_names(const SupervisedSession& session) {
    std::set<std::string> names;
    for (const std::string_view name :
         {kHelperPidFile, kRecoveryPidFile, kCorePidFile, kCoreExitFile, kDoneFile, kCleanupErrorFile}) {
        if (session.state_file(name)) names.emplace(name);
    }
    return names;
}

bool ends_with(const std::string& text, std::string_view tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// What a child may hold besides its standard streams: the executable it runs from and the
// sealed copies named on its command line, nothing the launcher left open.
void expect_child_started_clean(const testing::StandInRecord& record, Role role, const std::string& leak) {
    constexpr std::array<std::string_view, 4> kNamed = {"/sing-box", "/node", "/memfd:quillmere-vpn-guard (deleted)",
                                                        "/memfd:quillmere-vpn-config (deleted)"};
    std::size_t named = 0;
    for (const auto& [fd, target] : record.descriptors) {
        if (fd <= 2) continue;
        EXPECT_NE(target, leak) << "descriptor " << fd << " was leaked by the launcher";
        const bool known = std::ranges::any_of(kNamed, [&](std::string_view tail) { return ends_with(target, tail); });
        EXPECT_TRUE(known) << "descriptor " << fd << " -> " << target;
        if (known) ++named;
    }
    EXPECT_EQ(named, role == Role::core ? 2U : 3U);
    EXPECT_EQ(record.blocked_signals, "0000000000000000");
    EXPECT_EQ(record.ignored_signals, "0000000000000000");
    EXPECT_EQ(record.umask, "0022");
}

bool needs_a_loader() { return testing::has_program_interpreter(testing::supervisor_binary()); }

// Whether the launch limits what the program spends on its way into main (stack, address
// space, CPU time), of which a loader and a sanitizer's start-up would take their share first,
// or leaves it so few descriptors that a sanitizer's runtime, which probes memory through a pipe
// of its own, finds none.
bool limits_the_way_in(const HostileCase& c) {
    for (std::size_t i = 0; i < c.options.size(); ++i) {
        const std::string& option = c.options[i];
        if (option == "--stack" || option == "--address-space" || option == "--cpu-left" ||
            option.starts_with("virtual:") || option.starts_with("prof:"))
            return true;
        if (option == "--nofile" && i + 1 < c.options.size() && std::stol(c.options[i + 1]) < 16) return true;
    }
    return false;
}

// Plays one session behind the launcher and checks the case's outcome and the promises that
// hold for every case.
void play(const HostileCase& c) {
    if (limits_the_way_in(c) && needs_a_loader()) GTEST_SKIP() << "needs the static supervisor";
    testing::Inputs inputs;
    if (c.configuration != nullptr) inputs.configuration_bytes = c.configuration;
    SupervisedSession session(inputs);
    const testing::ScratchDir scratch;
    const std::string leak = scratch.file(kLeakFile);
    session.set_knob(Role::core, "RUN_UNTIL_SIGNALLED", "1");
    for (const std::string& knob : c.child_knobs) {
        const std::size_t equals = knob.find('=');
        for (const Role role : {Role::preflight, Role::cleanup, Role::core})
            session.set_knob(role, knob.substr(0, equals), knob.substr(equals + 1));
    }
    const auto ignores_term = std::ranges::find(c.options, "--ignore-signals") != c.options.end();
    // Without a handler of its own, the core keeps the disposition it was started with.
    if (ignores_term) session.set_knob(Role::core, "ON_TERM_RECORD", "");

    testing::SupervisorRun run;
    run.script.stop_marker_after = milliseconds(500);
    run.launcher = {testing::test_program("hostile_launcher")};
    for (const std::string& option : c.options) run.launcher.push_back(option == "LEAK" ? leak : option);
    run.launcher.emplace_back("--");
    const testing::RunReport report = session.run(c.mode, std::move(run));

    EXPECT_EQ(report.supervisor.signal(), 0) << "the supervisor was ended by a signal";
    EXPECT_EQ(report.supervisor.standard_output, "");
    const std::optional<int> status = report.supervisor.exit_code();
    if (status == 0) {
        EXPECT_EQ(report.supervisor.standard_error, "");
    }
    const auto expect_marker = [&] {
        EXPECT_EQ(status, std::optional(1));
        // A child that cannot load says so on the standard error it shares; the supervisor's
        // own word is still the marker alone, and last.
        if (c.children_may_complain) {
            EXPECT_TRUE(ends_with(report.supervisor.standard_error, testing::kFailureMarker))
                << report.supervisor.standard_error;
        } else {
            EXPECT_EQ(report.supervisor.standard_error, testing::kFailureMarker);
        }
    };

    // Complete files are 0644; a file whose own write was cut short by the size limit stays
    // private, so that the parent never takes it for a whole one.
    const bool short_writes = std::ranges::find(c.options, "--fsize") != c.options.end();
    for (const std::string& name : state_names(session)) {
        const mode_t mode = testing::file_mode(session.path(name));
        EXPECT_TRUE(mode == 0644 || (short_writes && mode == 0600)) << name << " has mode " << std::oct << mode;
    }
    const std::array<Role, 3> roles = {Role::preflight, Role::cleanup, Role::core};
    for (const Role role : roles) {
        if (const auto record = session.record(role)) {
            SCOPED_TRACE(role == Role::core ? "core" : role == Role::preflight ? "preflight" : "cleanup");
            expect_child_started_clean(*record, role, leak);
        }
    }
    const bool any_child = std::ranges::any_of(roles, [&](Role role) { return session.record(role).has_value(); });

    using Names = std::set<std::string>;
    const Names clean_run = {"core-exit", "core.pid", "done", "helper.pid"};
    switch (c.outcome) {
    case Outcome::clean_run:
    case Outcome::quiet_run:
        EXPECT_EQ(status, std::optional(0)) << report.supervisor.standard_error;
        EXPECT_EQ(state_names(session), clean_run);
        // Ended by the SIGTERM of the stop, not by the SIGKILL after its grace.
        EXPECT_EQ(session.state_file(kCoreExitFile), std::optional(std::string(kStoppedCoreExit)));
        if (!ignores_term) {
            EXPECT_TRUE(session.core_term_time().has_value()) << "the core was not sent SIGTERM";
        }
        if (c.outcome == Outcome::quiet_run) {
            for (const Role role : roles) {
                const auto record = session.record(role);
                ASSERT_TRUE(record.has_value());
                for (const int fd : {0, 1, 2}) EXPECT_EQ(record->descriptors.at(fd), "/dev/null") << fd;
            }
        }
        break;
    case Outcome::clean_recover:
        EXPECT_EQ(status, std::optional(0)) << report.supervisor.standard_error;
        EXPECT_EQ(state_names(session), (Names{"done", "recovery.pid"}));
        break;
    case Outcome::refused:
        expect_marker();
        EXPECT_EQ(state_names(session),
                  (Names{std::string(c.mode == SupervisorMode::run ? kHelperPidFile : kRecoveryPidFile)}));
        EXPECT_FALSE(any_child) << "a child was started";
        break;
    case Outcome::failed: expect_marker(); break;
    case Outcome::cleaned_up:
        expect_marker();
        EXPECT_TRUE(session.record(Role::cleanup).has_value()) << "the clean-up did not run";
        EXPECT_TRUE(session.state_file(kDoneFile) || session.state_file(kCleanupErrorFile)) << "no end marker";
        break;
    case Outcome::untouched:
        expect_marker();
        EXPECT_EQ(state_names(session), Names{});
        EXPECT_FALSE(any_child) << "a child was started";
        break;
    case Outcome::either:
        if (status == 0) {
            EXPECT_EQ(state_names(session), clean_run);
        } else {
            expect_marker();
        }
        break;
    }
    // Whatever else went wrong: a preflight that ran is always followed by the clean-up.
    if (session.record(Role::preflight)) {
        EXPECT_TRUE(session.record(Role::cleanup).has_value()) << "the preflight ran, the clean-up did not";
        EXPECT_TRUE(session.state_file(kDoneFile) || session.state_file(kCleanupErrorFile)) << "no end marker";
    }
}

class HostileLaunch : public ::testing::TestWithParam<HostileCase> {
protected:
    void SetUp() override {
        if (!testing::running_as_root()) GTEST_SKIP() << "run and recover need root";
    }
};

TEST_P(HostileLaunch, KeepsItsPromises) { play(GetParam()); }

// clang-format off
INSTANTIATE_TEST_SUITE_P(Launchers, HostileLaunch, ::testing::Values(
    HostileCase{"LeakedDescriptorsRun", SupervisorMode::run, {"--leak-fds", "3-40", "--leak-file", "LEAK"}, Outcome::clean_run},
    HostileCase{"LeakedDescriptorsRecover", SupervisorMode::recover, {"--leak-fds", "3-40", "--leak-file", "LEAK"}, Outcome::clean_recover},
    HostileCase{"StandardStreamsClosed", SupervisorMode::run, {"--close", "0,1,2"}, Outcome::quiet_run},
    HostileCase{"SigchldIgnoredRun", SupervisorMode::run, {"--ignore-sigchld"}, Outcome::refused},
    HostileCase{"SigchldIgnoredRecover", SupervisorMode::recover, {"--ignore-sigchld"}, Outcome::refused},
    HostileCase{"SignalsBlocked", SupervisorMode::run, {"--block-signals"}, Outcome::clean_run},
    HostileCase{"TerminationSignalsIgnoredRun", SupervisorMode::run, {"--ignore-signals", "1,2,15"}, Outcome::clean_run},
    HostileCase{"TerminationSignalsIgnoredRecover", SupervisorMode::recover, {"--ignore-signals", "1,2,15"}, Outcome::clean_recover},
    // A low limit that still leaves room: a run needs 15 descriptor numbers when it inherits only
    // 0 to 2, and whatever the test runner leaks sits below them (the session checker's
    // launch/RLIMIT_NOFILE holds the exact boundary against the supervisor).
    HostileCase{"DescriptorLimit24", SupervisorMode::run, {"--nofile", "24"}, Outcome::clean_run},
    HostileCase{"DescriptorLimit6", SupervisorMode::run, {"--nofile", "6"}, Outcome::failed},
    HostileCase{"EmptyArgumentVector", SupervisorMode::run, {"--empty-argv"}, Outcome::untouched},
    HostileCase{"Umask000", SupervisorMode::run, {"--umask", "000"}, Outcome::clean_run},
    HostileCase{"Umask077", SupervisorMode::run, {"--umask", "077"}, Outcome::clean_run},
    // The children lift the soft limit for their records; the supervisor keeps it, so its
    // "core-exit" and "done" are cut short. (The sample configuration would not even fit
    // into the sealed copy, and the run would end before the preflight.)
    HostileCase{"TinyFileSizeLimit", SupervisorMode::run, {"--fsize", std::string(kTinyFileSize)}, Outcome::cleaned_up, {"LIFT_FSIZE=1"}, false, kTinyConfiguration},
    HostileCase{"RealTimerArmed", SupervisorMode::run, {"--timer", "real:300"}, Outcome::clean_run},
    HostileCase{"VirtualTimerArmed", SupervisorMode::run, {"--timer", "virtual:1"}, Outcome::clean_run},
    HostileCase{"ProfilingTimerArmed", SupervisorMode::run, {"--timer", "prof:1"}, Outcome::clean_run},
    HostileCase{"SoftCpuLimitNearlyReached", SupervisorMode::run, {"--cpu-left", "8"}, Outcome::clean_run},
    // Root is exempt from the process limit, and the supervisor runs as root.
    HostileCase{"ProcessLimitReached", SupervisorMode::run, {"--processes", "1"}, Outcome::clean_run},
    HostileCase{"StackLimitAtTheLeastAccepted", SupervisorMode::run, {"--stack", "65536"}, Outcome::clean_run}
), [](const auto& test) { return std::string(test.param.name); });
// clang-format on

// The smallest address space, in steps of `step` bytes, in which the supervisor reaches main:
// its "--version" answers, rather than the exec failing or the process dying on the way in.
long least_address_space_reaching_main(long step) {
    const std::string launcher = testing::test_program("hostile_launcher");
    for (long bytes = step; bytes < 1024L * step; bytes += step) {
        const testing::ProcessResult result = testing::run_program(
            launcher, {"--address-space", std::to_string(bytes), "--", testing::supervisor_binary(), "--version"});
        if (result.exit_status == 0) return bytes;
    }
    ADD_FAILURE() << "the supervisor never started under an address space limit";
    return 1024L * step;
}

// As small a stack as a program of this build starts with is too small for a session: the
// supervisor refuses it before it touches anything, rather than overflow halfway through.
// Below that least stack the process dies on its way into main, which nothing can prevent.
TEST(HostileLaunchLimits, TheLeastStackAProgramStartsWithIsRefusedUntouched) {
    if (!testing::running_as_root()) GTEST_SKIP() << "run needs root";
    if (needs_a_loader()) GTEST_SKIP() << "needs the static supervisor";
    constexpr long kPage = 4096;
    for (long bytes = kPage; bytes <= 16 * kPage; bytes += kPage) {
        SupervisedSession session;
        testing::SupervisorRun run;
        run.launcher = {testing::test_program("hostile_launcher"), "--stack", std::to_string(bytes), "--"};
        const testing::RunReport report = session.run(SupervisorMode::run, std::move(run));
        if (report.supervisor.signal() != 0) continue;
        SCOPED_TRACE("RLIMIT_STACK " + std::to_string(bytes));
        testing::expect_exit(report, 1);
        EXPECT_EQ(state_names(session), std::set<std::string>{});
        EXPECT_FALSE(session.record(Role::preflight).has_value()) << "a child was started";
        return;
    }
    ADD_FAILURE() << "the supervisor never started under a small stack";
}

// From the least address space the supervisor starts in, doubling: whether the supervisor or
// only its children run short, the session ends complete or with the marker, never by a signal.
TEST(HostileLaunchLimits, AnyAddressSpaceLimitEndsTheSessionInItsOrdinaryWays) {
    if (!testing::running_as_root()) GTEST_SKIP() << "run needs root";
    if (needs_a_loader()) GTEST_SKIP() << "needs the static supervisor";
    const long least = least_address_space_reaching_main(256L * 1024);
    for (long bytes = least; bytes <= 64L * 1024 * 1024; bytes *= 2) {
        SCOPED_TRACE("RLIMIT_AS " + std::to_string(bytes));
        play(HostileCase{
            "", SupervisorMode::run, {"--address-space", std::to_string(bytes)}, Outcome::either, {}, true});
    }
}

// The query forms, whose whole answer is standard output.
struct QueryCase {
    const char* name;
    const char* form;
    std::vector<std::string> options;
    int status;
};

std::ostream& operator<<(std::ostream& out, const QueryCase& c) { return out << c.name; }

class HostileQuery : public ::testing::TestWithParam<QueryCase> {};

TEST_P(HostileQuery, AnswersOrFailsWithTheMarker) {
    const QueryCase& c = GetParam();
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--", testing::supervisor_binary(), c.form});
    const testing::ProcessResult result = testing::run_program(testing::test_program("hostile_launcher"), args);
    EXPECT_EQ(result.exit_status, c.status);
    EXPECT_EQ(result.standard_output, "");
    EXPECT_EQ(result.standard_error, c.status == 0 ? std::string() : std::string(testing::kFailureMarker));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Launchers, HostileQuery, ::testing::Values(
    // Descriptor 1 was refilled from /dev/null, so the banner went there: a success.
    QueryCase{"VersionStdoutClosed", "--version", {"--close", "1"}, 0},
    QueryCase{"VersionStdoutBrokenPipe", "--version", {"--broken-stdout"}, 1},
    QueryCase{"VersionStdoutFull", "--version", {"--stdout", "/dev/full"}, 1},
    QueryCase{"AppRoutingStdoutBrokenPipe", "check-app-routing", {"--broken-stdout"}, 1}
), [](const auto& test) { return std::string(test.param.name); });
// clang-format on

}  // namespace
}  // namespace quillmere
