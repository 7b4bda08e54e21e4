// quillmere-reference-parent: plays the parent application's side of a session against the
// supervisor, and tells what happened.
//
//   quillmere-reference-parent demo [--stop-after SECONDS] [--keep]
//       A complete supervised session on built-in inputs: this machine's Node.js as "node", a
//       sample guard script, a sample tunnel configuration and a stand-in core.
//   quillmere-reference-parent session --core FILE --guard FILE --config FILE [--node FILE]
//                                      [--stop-after SECONDS | --close-after SECONDS]
//                                      [--owner UID] [--recover] [--keep]
//       The same with your own core, guard script and configuration.
//
// Both need root, as the supervisor's privileged forms do.

#include <sys/stat.h>
#include <unistd.h>

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

#include <nlohmann/json.hpp>

#include "children/state_files.hpp"
#include "reference_parent/reference_parent.hpp"
#include "reference_parent/sample_session.hpp"

namespace ref = quillmere::reference;
using quillmere::Nanoseconds;

namespace {

constexpr const char* kUsage =
    "usage: quillmere-reference-parent demo [--stop-after SECONDS] [--keep]\n"
    "       quillmere-reference-parent session --core FILE --guard FILE --config FILE [--node FILE]\n"
    "                 [--stop-after SECONDS | --close-after SECONDS] [--owner UID] [--recover] [--keep]\n";

struct Options {
    bool demo = false;
    std::string core, guard, config, node = "/usr/bin/node";
    std::string supervisor = QUILLMERE_SUPERVISOR_BINARY;
    double stop_after = 3;
    bool close_instead = false;
    uid_t owner = 65534;
    bool recover = false;
    bool keep = false;
};

std::optional<Options> parse(int argc, char** argv) {
    if (argc < 2) return std::nullopt;
    Options o;
    const std::string command = argv[1];
    if (command == "demo") {
        o.demo = true;
    } else if (command != "session") {
        return std::nullopt;
    }
    for (int i = 2; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--keep") {
            o.keep = true;
            continue;
        }
        if (a == "--recover" && !o.demo) {
            o.recover = true;
            continue;
        }
        // Every other option takes a value.
        if (i + 1 >= argc) return std::nullopt;
        const char* v = argv[++i];
        const bool shared = a == "--stop-after" || a == "--close-after" || a == "--supervisor";
        if (o.demo && !shared) return std::nullopt;  // the demo brings its own inputs
        if (a == "--stop-after" || a == "--close-after") {
            char* end = nullptr;
            o.stop_after = std::strtod(v, &end);
            if (end == v || *end != '\0' || !(o.stop_after >= 0.0)) return std::nullopt;
            o.close_instead = a == "--close-after";
        } else if (a == "--supervisor") {
            o.supervisor = v;
        } else if (a == "--core") {
            o.core = v;
        } else if (a == "--guard") {
            o.guard = v;
        } else if (a == "--config") {
            o.config = v;
        } else if (a == "--node") {
            o.node = v;
        } else if (a == "--owner") {
            char* end = nullptr;
            const unsigned long owner = std::strtoul(v, &end, 10);
            if (end == v || *end != '\0' || owner > 0xFFFFFFFEUL) return std::nullopt;
            o.owner = static_cast<uid_t>(owner);
        } else {
            return std::nullopt;
        }
    }
    if (!o.demo && (o.guard.empty() || o.config.empty() || (o.core.empty() && !o.recover))) return std::nullopt;
    return o;
}

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

bool place_inputs(const ref::StateDirectory& dir, const Options& o) {
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
        const auto content = dir.read_file(name);
        if (!content) continue;
        std::printf("  %-14.*s %zu bytes  %s\n", static_cast<int>(name.size()), name.data(), content->size(),
                    content->empty() ? "(empty)" : content->c_str());
    }
}

// "core-exit" in words: whether the core ended by itself or after the stop, and how.
std::string core_end_in_words(const std::string& document) {
    const auto parsed = nlohmann::json::parse(document, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("stop_requested")) return "left an unreadable core-exit: " + document;
    std::string words = parsed.value("stop_requested", false) ? "ended after the stop was asked, "
                                                              : "ended by itself before any stop was asked, ";
    if (parsed.contains("exit_code")) return words + "with exit code " + parsed["exit_code"].dump();
    return words + "killed by signal " + parsed.value("signal", nlohmann::json()).dump();
}

void print_verdict(const ref::SessionReport& report, const ref::StateDirectory& dir) {
    if (const auto core_exit = dir.read_file(quillmere::kCoreExitFile)) {
        std::printf("\nThe core %s.\n", core_end_in_words(*core_exit).c_str());
    }
    const auto code = report.supervisor.exit_code();
    std::printf("\nOutcome: ");
    if (code == 0) {
        std::printf("exit status 0: the session ran and was cleaned up (\"done\" written).\n");
    } else if (code == 1 && dir.has_entry(quillmere::kDoneFile) && dir.has_entry(quillmere::kCorePidFile)) {
        std::printf(
            "exit status 1 with \"done\": the core ran and was cleaned up, but how it ended could not be "
            "recorded.\n");
    } else if (code == 1 && dir.has_entry(quillmere::kDoneFile)) {
        std::printf(
            "exit status 1 with \"done\": cleaned up, but the core never ran (refused preflight or early stop).\n");
    } else if (code == 1 && dir.has_entry(quillmere::kCleanupErrorFile)) {
        std::printf(
            "exit status 1 with \"cleanup-error\": the guard's clean-up did not succeed; run \"recover\" later.\n");
    } else {
        std::printf("the supervisor failed before it could finish; see which state files exist.\n");
    }
}

// The supervisor never says why it failed; the session checker does, by the same rules.
void print_checker_findings(const ref::StateDirectory& dir, ref::SupervisorMode mode) {
    const std::string checker = QUILLMERE_SESSION_CHECK_BINARY;
    auto started = ref::SupervisorProcess::start(
        checker, {checker, "--finished", "--mode", std::string(ref::mode_word(mode)), dir.path()});
    if (!started) return (void)fail_with("session check", started.error());
    const auto checked = started->finish(quillmere::seconds(10));
    if (!checked) return (void)fail_with("session check", checked.error());
    std::printf("\nWhat quillmere-session-check finds in the directory:\n%s", checked->standard_output.c_str());
}

}  // namespace

// One session in a fresh state directory under `base`; true when the supervisor exited 0.
bool play_session(const Options& o, const std::string& base) {
    const std::string events = base + "/events.log";
    // Passed through the supervisor's scrub to both children, which note their steps there.
    ::setenv("QUILLMERE_DEMO_EVENTS", events.c_str(), 1);

    auto dir = ref::StateDirectory::create(base, "demo1", ref::Owner::of_uid(o.owner));
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
    std::printf("Quillmere reference parent: %s session in %s (owner uid %u)\n", o.recover ? "recover" : "supervised",
                dir->path().c_str(), static_cast<unsigned>(o.owner));
    std::printf("Supervisor: %s\n", o.supervisor.c_str());
    if (!o.recover)
        std::printf("The parent will %s %.1f s after its acknowledgement.\n",
                    o.close_instead ? "close the link" : "create the stop marker", o.stop_after);
    (void)std::fflush(stdout);

    const auto report =
        ref::run_session(*dir, o.supervisor, o.recover ? ref::SupervisorMode::recover : ref::SupervisorMode::run,
                         script, quillmere::seconds(60));
    if (!report) return fail_with("session", report.error());

    std::printf("\nTimeline (seconds from the supervisor's start):\n%s",
                ref::describe(*report, read_events(events)).c_str());
    print_state_files(*dir);
    print_verdict(*report, *dir);
    const ref::SupervisorMode mode = o.recover ? ref::SupervisorMode::recover : ref::SupervisorMode::run;
    if (report->supervisor.exit_code() != 0) print_checker_findings(*dir, mode);
    if (o.keep) {
        dir->keep();
        std::printf("\nKept: %s (events in %s)\n", dir->path().c_str(), events.c_str());
    } else {
        std::filesystem::remove(events);
    }
    return report->supervisor.exit_code() == 0;
}

int main(int argc, char** argv) {
    const std::optional<Options> options = parse(argc, argv);
    if (!options) {
        (void)std::fputs(kUsage, stderr);
        return 2;
    }
    if (::geteuid() != 0) {
        (void)std::fputs("quillmere-reference-parent: the supervisor's run and recover forms need root\n", stderr);
        return 2;
    }
    char base[] = "/tmp/quillmere-demo-XXXXXX";
    if (::mkdtemp(base) == nullptr) return 1;
    ::chmod(base, 0755);
    const bool ok = play_session(*options, base);
    if (!options->keep) ::rmdir(base);  // the state directory itself is gone by now
    return ok ? 0 : 1;
}
