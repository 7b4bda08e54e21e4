// quillmere-session-check: says, without privileges and without changing anything, why the
// supervisor would refuse a state directory, and whether this machine has what it needs.
//
//   quillmere-session-check [--mode run|recover] [--finished [--supervisor-pid PID]] [--json] STATE_DIR
//   quillmere-session-check --host [--json]
//
// Exit status: 0 when nothing would make the supervisor refuse, 1 when something would (or
// could not be checked), 2 for a wrong command line.

#include <sys/types.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "check/directory_check.hpp"
#include "check/host_check.hpp"
#include "check/launch_checks.hpp"
#include "check/report.hpp"

namespace check = quillmere::check;

namespace {

constexpr const char* kUsage =
    "usage: quillmere-session-check [--mode run|recover] [--finished [--supervisor-pid PID]] [--json] STATE_DIR\n"
    "       quillmere-session-check --host [--json]\n";

struct Options {
    bool host = false;
    bool json = false;
    bool finished = false;
    std::optional<pid_t> supervisor_pid;
    check::SupervisorForm form = check::SupervisorForm::run;
    std::string directory;
};

// A pid in decimal, as "helper.pid" holds it: 1 to 4194304 (the kernel's largest).
std::optional<pid_t> pid_argument(std::string_view word) {
    if (word.empty() || word.size() > 7 || word.front() == '0') return std::nullopt;
    long value = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > 4194304) return std::nullopt;
    return static_cast<pid_t>(value);
}

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    bool have_directory = false;
    bool have_mode = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--json") {
            options.json = true;
        } else if (word == "--finished") {
            options.finished = true;
        } else if (word == "--host") {
            options.host = true;
        } else if (word == "--mode" && i + 1 < argc) {
            const std::string_view form = argv[++i];
            if (form != "run" && form != "recover") return std::nullopt;
            options.form = form == "run" ? check::SupervisorForm::run : check::SupervisorForm::recover;
            have_mode = true;
        } else if (word == "--supervisor-pid" && i + 1 < argc && !options.supervisor_pid) {
            options.supervisor_pid = pid_argument(argv[++i]);
            if (!options.supervisor_pid) return std::nullopt;
        } else if (word == "--" && i + 2 == argc && !have_directory) {
            options.directory = argv[++i];
            have_directory = true;
        } else if (!word.starts_with("--") && !have_directory) {
            options.directory = std::string(word);
            have_directory = true;
        } else {
            return std::nullopt;
        }
    }
    if (options.host == have_directory || (options.host && (have_mode || options.finished))) return std::nullopt;
    if (options.supervisor_pid && !options.finished) return std::nullopt;
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        (void)std::fputs(kUsage, stdout);
        return 0;
    }
    const std::optional<Options> options = parse(argc, argv);
    if (!options) {
        (void)std::fputs(kUsage, stderr);
        return 2;
    }
    check::ReportHeading heading;
    check::Findings findings;
    if (options->host) {
        heading = {"host", check::usual_state_directory_home(), ""};
        findings = check::check_host(heading.target);
        check::check_launch(findings);
    } else {
        const bool run = options->form == check::SupervisorForm::run;
        heading = {"state directory", options->directory, run ? "run" : "recover"};
        findings = check::check_state_directory(
            options->directory, options->form,
            options->finished ? check::DirectoryMoment::after_run : check::DirectoryMoment::before_start,
            options->supervisor_pid);
        heading.finished = options->finished;
    }
    const std::string report =
        options->json ? check::json_report(heading, findings) : check::text_report(heading, findings);
    if (std::fputs(report.c_str(), stdout) < 0 || std::fflush(stdout) != 0) return 1;
    return findings.clean() ? 0 : 1;
}
