// quillmere-reference-parent: plays the parent application's side of a session against the
// supervisor, and tells what happened.
//
//   quillmere-reference-parent demo [SHARED...]
//       A complete supervised session on built-in inputs: this machine's Node.js as "node", a
//       sample guard script, a sample tunnel configuration and a stand-in core.
//   quillmere-reference-parent session --core FILE --guard FILE --config FILE [--node FILE]
//                                      [--owner UID] [--recover] [SHARED...]
//       The same with your own core, guard script and configuration.
//
// SHARED: [--stop-after SECONDS | --close-after SECONDS] [--supervisor PATH]
//         [--launch direct|pkexec] [--as-user UID] [--dir DIR] [--keep]
//
// Started directly, the supervisor needs this program to be root. With "--launch pkexec" it is
// started as an application starts it, through pkexec and the installed polkit action; with
// "--as-user UID" a root caller first becomes that user for good, so that the directory, its
// files and the socket are made by the session owner itself.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "check/core_exit_reading.hpp"
#include "children/state_files.hpp"
#include "reference_parent/parent_options.hpp"
#include "reference_parent/reference_parent.hpp"
#include "reference_parent/sample_session.hpp"

namespace ref = quillmere::reference;
using quillmere::Nanoseconds;

namespace {

constexpr const char* kUsage =
    "usage: quillmere-reference-parent demo [SHARED...]\n"
    "       quillmere-reference-parent session --core FILE --guard FILE --config FILE [--node FILE]\n"
    "                 [--owner UID] [--recover] [SHARED...]\n"
    "SHARED: [--stop-after SECONDS | --close-after SECONDS] [--supervisor PATH]\n"
    "        [--launch direct|pkexec] [--as-user UID] [--dir DIR] [--keep]\n";

// The owner a root parent hands the directory to when told nothing: a user without a login,
// as a desktop user would be.
constexpr uid_t kDefaultOwner = 65534;

std::string sibling_program(const char* name) {
    std::error_code ignored;
    return (std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path() / name).string();
}

std::string read_whole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Lines "<CLOCK_MONOTONIC ns> <who>: <what>" that the children appended.
std::vector<ref::TimedEvent> read_events(const std::string& path) {
    std::vector<ref::TimedEvent> events;
    std::istringstream lines(read_whole(path));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        events.emplace_back(std::strtoll(line.c_str(), nullptr, 10), line.substr(space + 1));
    }
    return events;
}

bool fail_with(const char* what, const quillmere::Error& error) {
    (void)std::fprintf(stderr, "quillmere-reference-parent: %s: %s%s%s\n", what, quillmere::error_kind_name(error.kind),
                       error.os_errno != 0 ? ", " : "", error.os_errno != 0 ? std::strerror(error.os_errno) : "");
    return false;
}

bool place_inputs(const ref::StateDirectory& dir, const ref::ParentOptions& o) {
    const auto placed = [&](const char* what, const quillmere::Result<void>& r) {
        return r ? true : fail_with(what, r.error());
    };
    if (!placed("node", dir.copy_program("node", o.node))) return false;
    if (o.demo) {
        return placed("guard", dir.write_file("network-guard.cjs", ref::kSampleGuardScript, 0700)) &&
               placed("tun.json", dir.write_file("tun.json", ref::kSampleTunnelConfiguration, 0600)) &&
               placed("core", dir.copy_program("sing-box", sibling_program("quillmere-demo-core")));
    }
    if (!placed("guard", dir.copy_program("network-guard.cjs", o.guard))) return false;
    if (!placed("tun.json", dir.copy_program("tun.json", o.config, 0600))) return false;
    return o.core.empty() || placed("core", dir.copy_program("sing-box", o.core));
}

void print_state_files(const ref::StateDirectory& dir) {
    std::printf("\nState files left for the parent:\n");
    for (const std::string_view name : {quillmere::kHelperPidFile, quillmere::kRecoveryPidFile, quillmere::kCorePidFile,
                                        quillmere::kCoreExitFile, quillmere::kDoneFile, quillmere::kCleanupErrorFile}) {
        const auto content = dir.read_state_file(name);
        if (!content) continue;
        std::printf("  %-14.*s %zu bytes  %s\n", static_cast<int>(name.size()), name.data(), content->size(),
                    content->empty() ? "(empty)" : content->c_str());
    }
}

void print_verdict(const ref::SessionReport& report, const ref::StateDirectory& dir, ref::Launch launch) {
    if (const auto core_exit = dir.read_state_file(quillmere::kCoreExitFile)) {
        const auto record = quillmere::read_core_exit(*core_exit);
        std::printf("\nThe core %s.\n", record ? quillmere::check::core_end_in_words(*record).c_str()
                                               : ("left an unreadable core-exit: " + *core_exit).c_str());
    }
    std::printf("\nOutcome: ");
    switch (ref::ending_of(report.supervisor, launch)) {
    case ref::Ending::success:
        std::printf("exit status 0: the session ran and was cleaned up (\"done\" written).\n");
        return;
    case ref::Ending::failure:
        if (dir.has_entry(quillmere::kDoneFile) && dir.has_entry(quillmere::kCorePidFile)) {
            std::printf(
                "exit status 1 with \"done\": the core ran and was cleaned up, but how it ended could not be "
                "recorded.\n");
        } else if (dir.has_entry(quillmere::kDoneFile)) {
            std::printf(
                "exit status 1 with \"done\": cleaned up, but the core never ran (refused preflight or early stop).\n");
        } else if (dir.has_entry(quillmere::kCleanupErrorFile)) {
            std::printf(
                "exit status 1 with \"cleanup-error\": the guard's clean-up did not succeed; run \"recover\" later.\n");
        } else {
            std::printf("the supervisor failed before it could finish; see which state files exist.\n");
        }
        return;
    case ref::Ending::not_authorised:
        std::printf(
            "pkexec exited 127: it did not start the supervisor (not authorised, or no action or program at that "
            "path); nothing ran.\n");
        return;
    case ref::Ending::authentication_dismissed:
        std::printf("pkexec exited 126: the authentication dialog was dismissed; nothing ran.\n");
        return;
    case ref::Ending::signalled:
        std::printf("the supervisor was ended by signal %d; see which state files exist.\n",
                    report.supervisor.signal());
        return;
    case ref::Ending::unexpected_status:
        std::printf("exit status %d, which neither the supervisor nor pkexec gives.\n",
                    report.supervisor.exit_code().value_or(-1));
        return;
    }
}

// The supervisor never says why it failed; the session checker does, by the same rules. Run
// while the socket still listens, and told which supervisor ran, so that it can tell that
// run's state files from an earlier one's.
std::string checker_findings(const ref::StateDirectory& dir, ref::SupervisorMode mode, pid_t supervisor) {
    const std::string checker = QUILLMERE_SESSION_CHECK_BINARY;
    auto started =
        ref::SupervisorProcess::start(checker, {checker, "--finished", "--supervisor-pid", std::to_string(supervisor),
                                                "--mode", std::string(ref::mode_word(mode)), dir.path()});
    if (!started) return (void)fail_with("session check", started.error()), std::string();
    const auto checked = started->finish(quillmere::seconds(10));
    if (!checked) return (void)fail_with("session check", checked.error()), std::string();
    return "\nWhat quillmere-session-check finds in the directory:\n" + checked->standard_output;
}

// Becomes the user of --as-user, or tells who the directory is handed to; nullopt (after saying
// why) when this process may not do what the options ask.
std::optional<ref::Owner> settle_owner(const ref::ParentOptions& o) {
    const bool root = ::geteuid() == 0;
    if (o.as_user) {
        if (!root) {
            (void)std::fputs("quillmere-reference-parent: --as-user needs root to become that user\n", stderr);
            return std::nullopt;
        }
        if (const auto became = ref::become(ref::Owner::of_uid(*o.as_user)); !became) {
            fail_with("--as-user", became.error());
            return std::nullopt;
        }
        return ref::Owner::current();
    }
    if (o.launch == ref::Launch::direct && !root) {
        (void)std::fputs("quillmere-reference-parent: the supervisor's run and recover forms need root\n", stderr);
        return std::nullopt;
    }
    if (o.owner) return ref::Owner::of_uid(*o.owner);
    return root ? ref::Owner::of_uid(kDefaultOwner) : ref::Owner::current();
}

}  // namespace

// One session in a fresh state directory under `base`; true when the supervisor exited 0.
bool play_session(const ref::ParentOptions& o, ref::Owner owner, const std::string& base, const std::string& events) {
    // Children note their steps there, through the supervisor's scrub; pkexec resets the
    // environment before that, so a session started through it shows the parent's steps alone.
    ::setenv("QUILLMERE_DEMO_EVENTS", events.c_str(), 1);
    // Made by this side, so that it can read what the children (root) append.
    const int log = ::open(events.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log < 0) return fail_with("event log", quillmere::Error::last_os_error());
    ::close(log);

    auto dir = ref::StateDirectory::create(base, "demo1", owner);
    if (!dir) return fail_with("state directory", dir.error());
    if (!place_inputs(*dir, o)) return false;

    ref::Script script;
    const auto after = static_cast<Nanoseconds>(o.stop_after * quillmere::kNanosPerSecond);
    if (o.close_instead) {
        script.afterwards = ref::Afterwards::close;
        script.afterwards_delay = after;
    } else {
        script.stop_marker_after = after;
    }
    const std::string supervisor = o.supervisor_or(QUILLMERE_SUPERVISOR_BINARY);
    std::printf("Quillmere reference parent: %s session in %s (owner uid %u)\n", o.recover ? "recover" : "supervised",
                dir->path().c_str(), static_cast<unsigned>(owner.uid));
    std::printf("Supervisor: %s%s\n", supervisor.c_str(),
                o.launch == ref::Launch::pkexec ? " (through pkexec, by this side's uid)" : "");
    if (!o.recover)
        std::printf("The parent will %s %.1f s after its acknowledgement.\n",
                    o.close_instead ? "close the link" : "create the stop marker", o.stop_after);
    (void)std::fflush(stdout);

    // Only a supervisor that ran can have refused the directory: pkexec's refusals say nothing
    // about it.
    const ref::SupervisorMode mode = o.recover ? ref::SupervisorMode::recover : ref::SupervisorMode::run;
    std::string findings;
    const auto after_exit = [&](const ref::SupervisorOutcome& outcome) {
        const ref::Ending ending = ref::ending_of(outcome, o.launch);
        if (ending != ref::Ending::success && ending != ref::Ending::not_authorised &&
            ending != ref::Ending::authentication_dismissed)
            findings = checker_findings(*dir, mode, outcome.pid);
    };
    const auto report = ref::run_session(*dir, supervisor, mode, script, quillmere::seconds(60), o.launch, after_exit);
    if (!report) return fail_with("session", report.error());

    std::printf("\nTimeline (seconds from the supervisor's start):\n%s",
                ref::describe(*report, read_events(events)).c_str());
    if (o.launch == ref::Launch::pkexec)
        std::printf("(pkexec resets the environment, so the children's own steps are not shown.)\n");
    print_state_files(*dir);
    print_verdict(*report, *dir, o.launch);
    (void)std::fputs(findings.c_str(), stdout);
    if (o.keep) {
        dir->keep();
        std::printf("\nKept: %s (events in %s)\n", dir->path().c_str(), events.c_str());
    }
    return report->supervisor.exit_code() == 0;
}

int main(int argc, char** argv) {
    const std::vector<std::string_view> words(argv + std::min(argc, 1), argv + argc);
    const auto options = ref::parse_parent_options(words);
    if (!options) {
        if (options.error().text != nullptr)
            (void)std::fprintf(stderr, "quillmere-reference-parent: %s\n", options.error().text);
        (void)std::fputs(kUsage, stderr);
        return 2;
    }
    // Before anything is created: with --as-user, everything from here on is that user's.
    const std::optional<ref::Owner> owner = settle_owner(*options);
    if (!owner) return 2;
    char work[] = "/tmp/quillmere-demo-XXXXXX";
    if (::mkdtemp(work) == nullptr) return 1;
    ::chmod(work, 0755);  // the owner must reach a state directory made in it
    const std::string events = std::string(work) + "/events.log";
    const bool ok = play_session(*options, *owner, options->dir.empty() ? work : options->dir, events);
    if (!options->keep) {
        std::filesystem::remove(events);
        ::rmdir(work);  // the state directory itself is gone by now
    }
    return ok ? 0 : 1;
}
