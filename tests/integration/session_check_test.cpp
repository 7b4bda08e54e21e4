// The session checker against the supervisor itself: directories each broken in one way, run
// through both. Whatever the checker names, the supervisor must refuse; a directory the checker
// passes must give a clean session. After the run the checker, told which supervisor ran, must
// name the same cause among that run's files.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "children/input_files.hpp"
#include "children/state_files.hpp"
#include "linux/unique_fd.hpp"
#include "session/stop_request.hpp"
#include "support/supervised_session.hpp"

namespace quillmere {
namespace {

using reference::Owner;
using reference::SupervisorMode;
using testing::Role;
using testing::SupervisedSession;

// The owner a desktop session has: not root.
constexpr uid_t kOwner = testing::kNobodyUid;

struct Breakage {
    SupervisedSession& session;
    testing::SupervisorRun& run;
    std::vector<UniqueFd>& held;
};

struct BrokenCase {
    const char* name;
    const char* check;  // the one finding the checker must refuse with; nullptr for a good directory
    std::function<void(Breakage&)> breaks;
    bool reaches_a_child = false;  // the supervisor gets as far as a guard run
    SupervisorMode mode = SupervisorMode::run;
    // Further refusals that follow from the same breakage.
    std::vector<std::string> also = {};
    // For a directory whose every rule is met but whose run fails all the same: the note the
    // checker must give after it.
    const char* left = nullptr;
    // "unknown" for what the checker cannot see as the directory's owner and the supervisor
    // (root) does not mind.
    const char* verdict = "refused";
    // Both programs run with CAP_LEASE taken out of the bounding set, as in a container.
    bool without_lease_capability = false;
};

void PrintTo(const BrokenCase& c, std::ostream* out) { *out << c.name; }

// A file renamed into place by someone who still holds it open for writing from when it was
// writable by all: every rule on its metadata is met.
void hold_for_writing(Breakage& b, std::string_view name, mode_t mode) {
    b.held.push_back(b.session.hold_for_writing(name, mode));
}

void chmod_entry(Breakage& b, std::string_view name, mode_t mode) {
    ASSERT_EQ(::chmod(b.session.path(name).c_str(), mode), 0);
}

// A state file of a run an hour ago, as a reused directory holds it.
void leave_from_earlier_run(Breakage& b, std::string_view name, std::string_view content, uid_t owner = 0) {
    const std::string path = b.session.path(name);
    testing::write_file(path, std::string(content), name == kStopMarkerName ? 0600 : 0644, owner);
    struct timespec earlier[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), earlier, AT_SYMLINK_NOFOLLOW), 0);
}

const BrokenCase kCases[] = {
    {"GoodDirectory", nullptr, [](Breakage&) {}, true},
    {"RecoveryWithoutACore", nullptr,
     [](Breakage& b) { ASSERT_EQ(::unlink(b.session.path(kCoreExecutableName).c_str()), 0); }, true,
     SupervisorMode::recover},
    // What the owner may not look into, root may: a question left open is not a clean answer.
    {"DirectoryClosedToItsOwner",
     "directory",
     [](Breakage& b) {
         const std::string base = b.session.dir().path().substr(0, b.session.dir().path().rfind('/'));
         ASSERT_EQ(::chmod(base.c_str(), 0700), 0);
     },
     true,
     SupervisorMode::run,
     {},
     nullptr,
     "unknown"},
    {"NameWithAnUnderscore",
     "argument/name",
     [](Breakage& b) {
         const std::string link = b.session.dir().path() + "_x";
         ASSERT_EQ(::symlink(b.session.dir().path().c_str(), link.c_str()), 0);
         b.run.state_dir_path = link;
     },
     false,
     SupervisorMode::run,
     {"directory/type"}},
    {"DirectoryWithAGroupBit", "directory/mode",
     [](Breakage& b) { ASSERT_EQ(::chmod(b.session.dir().path().c_str(), 0750), 0); }},
    {"UpperCaseNonce", "supervisor.json/document",
     [](Breakage& b) {
         testing::write_file(b.session.path("supervisor.json"),
                             reference::session_document("ABCDEF" + b.session.dir().nonce().substr(6)), 0600, kOwner);
     }},
    {"SessionFileReadableByOthers", "supervisor.json/mode",
     [](Breakage& b) { chmod_entry(b, "supervisor.json", 0644); }},
    {"SocketOwnedByRoot", "parent.sock/owner",
     [](Breakage& b) {
         b.run.socket.owner = Owner{0, 0};
     }},
    {"SocketBoundButNotListening", "parent.sock/listening",
     [](Breakage& b) { b.run.socket.form = reference::SocketForm::stale; }},
    {"ReusedDirectory", "helper.pid",
     [](Breakage& b) { testing::write_file(b.session.path(kHelperPidFile), "1", 0644); }},
    {"ReusedAfterAWholeRun",
     "helper.pid",
     [](Breakage& b) {
         leave_from_earlier_run(b, kHelperPidFile, "1");
         leave_from_earlier_run(b, kCorePidFile, "1");
         leave_from_earlier_run(b, kCoreExitFile, R"({"format":1,"exit_code":0,"stop_requested":true})");
         leave_from_earlier_run(b, kDoneFile, testing::SupervisedSession::completion_document());
     },
     false,
     SupervisorMode::run,
     {"core.pid", "core-exit", "done"}},
    // Read as what an earlier run left: a FIFO there must not hold the checker.
    {"FifoAtAStateFileName", "helper.pid",
     [](Breakage& b) {
         const std::string fifo = b.session.path(kHelperPidFile);
         ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
         ASSERT_EQ(::chown(fifo.c_str(), kOwner, kOwner), 0);
     }},
    {"ConfigurationReadableByOthers", "tun.json/mode",
     [](Breakage& b) { chmod_entry(b, kCoreConfigurationName, 0644); }},
    {"NodeHardLinked", "node/links",
     [](Breakage& b) {
         ASSERT_EQ(::link(b.session.path(kNodeExecutableName).c_str(), (b.session.dir().path() + ".node").c_str()), 0);
     }},
    {"ScriptWithoutOwnerExecute", "network-guard.cjs/owner-execute",
     [](Breakage& b) { chmod_entry(b, kGuardScriptName, 0600); }},
    {"CoreMissing", "sing-box",
     [](Breakage& b) { ASSERT_EQ(::unlink(b.session.path(kCoreExecutableName).c_str()), 0); }},
    {"CoreWithFileCapabilities", "sing-box/capability",
     [](Breakage& b) {
         // A version 2 capability set granting nothing: its presence alone refuses the file.
         const unsigned char none[20] = {0, 0, 0, 2};
         ASSERT_EQ(::setxattr(b.session.path(kCoreExecutableName).c_str(), "security.capability", none, sizeof none, 0),
                   0);
     }},
    {"ScriptHeldOpenForWriting", "network-guard.cjs/writers",
     [](Breakage& b) { hold_for_writing(b, kGuardScriptName, 0700); }},
    {"ConfigurationHeldOpenForWriting", "tun.json/writers",
     [](Breakage& b) { hold_for_writing(b, kCoreConfigurationName, 0600); }},
    {"CoreHeldOpenForWriting", "sing-box/writers", [](Breakage& b) { hold_for_writing(b, kCoreExecutableName, 0700); }},
    {"NodeHeldOpenForWriting", "node/writers", [](Breakage& b) { hold_for_writing(b, kNodeExecutableName, 0700); }},
    {"NodeHeldOpenForWritingInARecovery", "node/writers",
     [](Breakage& b) { hold_for_writing(b, kNodeExecutableName, 0700); }, false, SupervisorMode::recover},
    // The checker, as the owner, cannot open it; the entry still shows whose it is.
    {"ConfigurationOwnedByRoot", "tun.json/owner",
     [](Breakage& b) { testing::write_file(b.session.path(kCoreConfigurationName), "{}", 0600, 0); }},
    // Nor this one, which root reads all the same: nothing on it can be faulted from here.
    {.name = "ConfigurationUnreadableByItsOwner",
     .check = "tun.json",
     .breaks = [](Breakage& b) { chmod_entry(b, kCoreConfigurationName, 0200); },
     .reaches_a_child = true,
     .verdict = "unknown"},
    {.name = "NoLeaseCapability",
     .check = "launch/CAP_LEASE",
     .breaks = [](Breakage&) {},
     .without_lease_capability = true},
    {"StopMarkerIsADirectory", "stop/type",
     [](Breakage& b) { ASSERT_EQ(::mkdir(b.session.path(kStopMarkerName).c_str(), 0700), 0); }},
    {"StopMarkerLeftBehind", "stop", [](Breakage& b) { leave_from_earlier_run(b, kStopMarkerName, "", kOwner); }, true},
    {"CoreExitAlreadyThere", "core-exit", [](Breakage& b) { leave_from_earlier_run(b, kCoreExitFile, "{}"); }, true},
    {"DoneAlreadyThere", "done", [](Breakage& b) { leave_from_earlier_run(b, kDoneFile, "{}"); }, true},
    // pkexec passes the disposition on; the supervisor refuses to start any child with it.
    {"LaunchedWithSigchldIgnored", "launch/SIGCHLD",
     [](Breakage& b) {
         b.run.launcher = {testing::test_program("hostile_launcher"), "--ignore-sigchld", "--"};
     }},
    {"PreflightRefused",
     nullptr,
     [](Breakage& b) { b.session.set_knob(Role::preflight, "EXIT", "1"); },
     true,
     SupervisorMode::run,
     {},
     "left/no-core"},
    {"SecondRecovery", "recovery.pid",
     [](Breakage& b) { testing::write_file(b.session.path(kRecoveryPidFile), "1", 0644); }, false,
     SupervisorMode::recover},
};

// The verdict of one check in the checker's JSON document.
std::optional<std::string> verdict_of(const nlohmann::json& document, std::string_view check) {
    for (const auto& finding : document.at("checks"))
        if (finding.at("check") == check) return finding.at("verdict").get<std::string>();
    return std::nullopt;
}

std::set<std::string> refused_checks(const nlohmann::json& document) {
    std::set<std::string> refused;
    for (const auto& finding : document.at("checks"))
        if (finding.at("verdict") == "refused") refused.insert(finding.at("check").get<std::string>());
    return refused;
}

constexpr const char* kSetpriv = "/usr/bin/setpriv";
const std::vector<std::string> kWithoutLeaseCapability = {kSetpriv, "--bounding-set=-lease"};

// As the directory's owner runs it, started the way the supervisor is. Only root can take
// CAP_LEASE out of the bounding set, so that launch becomes the owner only afterwards.
testing::ProcessResult run_checker(const std::vector<std::string>& checker_args,
                                   const std::vector<std::string>& launcher, bool without_lease_capability) {
    testing::RunOptions as_owner;
    std::vector<std::string> command;
    if (without_lease_capability) {
        const std::string owner = std::to_string(kOwner);
        command = kWithoutLeaseCapability;
        command.insert(command.end(), {"--reuid", owner, "--regid", owner, "--clear-groups", "--"});
    } else {
        command = launcher;
        as_owner.uid = kOwner;
    }
    command.push_back(testing::session_check_binary());
    command.insert(command.end(), checker_args.begin(), checker_args.end());
    return testing::run_program(command.front(), {command.begin() + 1, command.end()}, as_owner);
}

// The checker on the case's directory; after a run, told the supervisor's pid.
testing::ProcessResult check_directory(const std::string& directory, const BrokenCase& c,
                                       const std::vector<std::string>& launcher, std::optional<pid_t> finished) {
    std::vector<std::string> args;
    if (finished) args.insert(args.end(), {"--finished", "--supervisor-pid", std::to_string(*finished)});
    args.insert(args.end(), {"--mode", std::string(reference::mode_word(c.mode)), "--json", directory});
    return run_checker(args, launcher, c.without_lease_capability);
}

// What the checker must say of the directory, before the run and after it.
void expect_findings(const BrokenCase& c, const testing::ProcessResult& checked, bool finished) {
    const nlohmann::json document = nlohmann::json::parse(checked.standard_output, nullptr, false);
    ASSERT_TRUE(document.is_object()) << "the checker printed no JSON document: " << checked.standard_error;
    const bool clean = c.check == nullptr;
    EXPECT_EQ(checked.exit_status, clean ? 0 : 1) << document.dump(2);
    std::set<std::string> expected;
    if (c.check != nullptr && std::string_view(c.verdict) == "refused") expected.insert(c.check);
    expected.insert(c.also.begin(), c.also.end());
    EXPECT_EQ(refused_checks(document), expected) << document.dump(2);
    if (c.check != nullptr) {
        EXPECT_EQ(verdict_of(document, c.check), std::optional<std::string>(c.verdict)) << document.dump(2);
    }
    if (finished && c.left != nullptr) {
        EXPECT_EQ(verdict_of(document, c.left), std::optional<std::string>("note")) << document.dump(2);
    }
}

class SessionCheck : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(SessionCheck, NamesWhatTheSupervisorRefuses) {
    if (!testing::running_as_root()) GTEST_SKIP() << "the supervisor's run needs root";
    // The state directory's parent is open to its owner, as $XDG_RUNTIME_DIR is.
    testing::ScratchDir base;
    ASSERT_EQ(::chmod(base.path().c_str(), 0755), 0);
    testing::Inputs inputs;
    inputs.base_dir = base.path();
    inputs.owner = Owner::of_uid(kOwner);
    SupervisedSession session(inputs);

    const BrokenCase& c = GetParam();
    if (c.without_lease_capability && !testing::path_exists(kSetpriv)) GTEST_SKIP() << "needs setpriv";
    testing::SupervisorRun run;
    if (c.without_lease_capability) {
        run.launcher = kWithoutLeaseCapability;
        run.launcher.push_back("--");
    }
    std::vector<UniqueFd> held;
    Breakage breakage{session, run, held};
    ASSERT_NO_FATAL_FAILURE(c.breaks(breakage));
    session.remember_inputs();

    // Asked while the parent listens, as an application would before starting the supervisor,
    // and again once the supervisor has exited.
    const std::string directory = run.state_dir_path.value_or(session.dir().path());
    testing::ProcessResult before;
    testing::ProcessResult after;
    run.before_start = [&] { before = check_directory(directory, c, run.launcher, std::nullopt); };
    run.after_exit = [&](const reference::SupervisorOutcome& outcome) {
        after = check_directory(directory, c, run.launcher, outcome.pid);
    };
    const auto report = session.run(c.mode, run);

    {
        SCOPED_TRACE("before the start");
        expect_findings(c, before, false);
    }
    {
        SCOPED_TRACE("after the run");
        expect_findings(c, after, true);
    }
    const bool fails = (c.check != nullptr && std::string_view(c.verdict) == "refused") || c.left != nullptr;
    testing::expect_exit(report, fails ? 1 : 0);
    if (!c.reaches_a_child) {
        for (const Role role : {Role::preflight, Role::cleanup, Role::core})
            EXPECT_FALSE(session.record(role).has_value()) << "a child ran";
    }
}

// The supervisor can lease a user's file only with CAP_LEASE, which no process started under
// a bounding set without it ever has.
TEST(SessionCheckHost, RefusesLeasesWhereTheBoundingSetLacksTheirCapability) {
    if (!testing::running_as_root() || !testing::path_exists(kSetpriv)) GTEST_SKIP() << "needs root and setpriv";
    if (testing::read_file("/proc/sys/fs/leases-enable") != "1\n") GTEST_SKIP() << "leases are disabled here";
    for (const bool without : {false, true}) {
        const testing::ProcessResult checked = run_checker({"--host", "--json"}, {}, without);
        const nlohmann::json document = nlohmann::json::parse(checked.standard_output, nullptr, false);
        ASSERT_TRUE(document.is_object()) << checked.standard_error;
        EXPECT_EQ(verdict_of(document, "host/read leases"), std::optional<std::string>(without ? "refused" : "ok"));
    }
}

INSTANTIATE_TEST_SUITE_P(Directories, SessionCheck, ::testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace quillmere
