// The state files an earlier supervisor left, judged twice: as what makes the next one fail or
// change its course, and as what they tell about how the earlier one ended.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>

#include "check/core_exit_reading.hpp"
#include "check/directory_context.hpp"
#include "check/wording.hpp"
#include "children/input_files.hpp"
#include "children/state_files.hpp"
#include "linux/untrusted_open.hpp"
#include "session/parent_link.hpp"
#include "session/session_rules.hpp"
#include "session/stop_request.hpp"

namespace quillmere::check {

namespace {

// Only small files are read here, and only as text to quote.
constexpr std::size_t kQuotedBytes = 64;

std::optional<struct stat> status_of(const DirectoryContext& context, std::string_view name) {
    struct stat status {};
    if (::lstat(context.entry(name).c_str(), &status) != 0) return std::nullopt;
    return status;
}

bool older(const timespec& a, const timespec& b) noexcept {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// What a supervisor leaves once a state file is complete: root's regular file at mode 0644.
bool is_finished_state_file(const struct stat& status) noexcept {
    return S_ISREG(status.st_mode) && status.st_uid == 0 && (status.st_mode & 07777) == kFinishedMode;
}

// What this user cannot look for (a directory it may not search) is left open: the supervisor,
// as root, sees it, and may well find it there.
void add_unseen(DirectoryContext& context, const std::string& name, int error) {
    context.findings.add(name, error == EACCES ? Verdict::unknown : Verdict::refused,
                         name + ": cannot be examined: " + errno_text(error));
}

std::string_view pid_file_of(SupervisorForm form) {
    return form == SupervisorForm::run ? kHelperPidFile : kRecoveryPidFile;
}

// The first bytes of a state file, as far as this user may read them, opened as every file
// here is: a link planted at the name is not followed, a FIFO there does not hold the checker.
std::string content_of(const DirectoryContext& context, std::string_view name) {
    const Result<UniqueFd> file = open_untrusted(context.entry(name));
    if (!file.has_value()) return {};
    std::string content(kQuotedBytes, '\0');
    ssize_t got = -1;
    do {
        got = ::read(file->get(), content.data(), content.size());
    } while (got < 0 && errno == EINTR);
    content.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return content;
}

std::string pid_of(const DirectoryContext& context, std::string_view name) {
    const std::string pid = content_of(context, name);
    return pid.empty() ? "" : " (pid " + pid + ")";
}

std::string consequence(std::string_view name, SupervisorForm form) {
    if (name == kHelperPidFile)
        return "a run here fails before it starts any child: a state directory serves one run; use a fresh one";
    if (name == kRecoveryPidFile)
        return "a recovery here fails before it starts the guard: a directory takes one recovery; recover in a fresh "
               "one with the same input files and a new session file";
    if (name == kCorePidFile)
        return "a run here starts the core, kills it at once and fails without the clean-up; use a fresh directory";
    if (name == kCoreExitFile)
        return "a run here cannot record how its core ends: it still cleans up, then exits 1; use a fresh "
               "directory";
    if (name == kDoneFile)
        return std::string("the clean-up still runs, but ") +
               (form == SupervisorForm::run ? "the run" : "the recovery") +
               " cannot write \"done\" and exits 1; use a fresh directory";
    return "";
}

}  // namespace

bool DirectoryContext::of_this_run(const struct stat& status) const {
    return moment == DirectoryMoment::after_run && run_began.has_value() && !older(status.st_mtim, *run_began);
}

void find_the_run(DirectoryContext& context) {
    if (!context.examinable || context.moment == DirectoryMoment::before_start) return;
    const std::string_view pid_file = pid_file_of(context.form);
    if (const auto status = status_of(context, pid_file); status && is_finished_state_file(*status)) {
        if (!context.supervisor_pid || content_of(context, pid_file) == std::to_string(*context.supervisor_pid))
            context.run_began = status->st_mtim;
    }
    // The parent binds its socket right before it starts the supervisor.
    if (const auto socket = status_of(context, kParentSocketName); socket && S_ISSOCK(socket->st_mode))
        context.supervisor_started_by = socket->st_mtim;
    else
        context.supervisor_started_by = context.run_began;
    if (!context.supervisor_pid)
        context.findings.add("checker/supervisor-pid", Verdict::note,
                             "checker: not told which supervisor ran (--supervisor-pid), so the state files here are "
                             "taken for that run's");
}

void check_absent_state_file(DirectoryContext& context, std::string_view file_name) {
    if (!context.examinable) return;
    const std::string name(file_name);
    const std::optional<struct stat> status = status_of(context, file_name);
    if (!status) {
        // An end marker of the clean-up's own is no obstacle, seen or not.
        if (errno != ENOENT && file_name != kCleanupErrorFile) add_unseen(context, name, errno);
        return;
    }
    const bool pid_file = file_name == pid_file_of(context.form);
    std::string leftover;
    if (context.moment == DirectoryMoment::after_run) {
        // This run's own results are told by describe_leftovers.
        if (context.run_began && (pid_file || context.of_this_run(*status))) return;
        if (pid_file && context.supervisor_pid)
            leftover = ", written by pid " + content_of(context, file_name) +
                       " and not by the supervisor started (pid " + std::to_string(*context.supervisor_pid) +
                       "), so left by an earlier run";
        else if (context.run_began)
            leftover =
                ", older than this run's " + std::string(pid_file_of(context.form)) + ", so left by an earlier run";
        else
            leftover = ", left by an earlier run";
    }
    if (file_name == kCleanupErrorFile) {
        context.findings.add(name, Verdict::note,
                             name + ": present" + leftover +
                                 "; should the clean-up refuse, it cannot be written again, and the supervisor exits 1 "
                                 "with no new end marker");
        return;
    }
    context.findings.add(name, Verdict::refused,
                         name + ": present" + leftover + "; " + consequence(file_name, context.form));
}

void check_stop_marker(DirectoryContext& context) {
    if (!context.examinable) return;
    const std::string name(kStopMarkerName);
    struct stat status {};
    if (::lstat(context.entry(name).c_str(), &status) != 0) {
        if (errno != ENOENT) add_unseen(context, name, errno);
        return;
    }
    if (!is_valid_stop_marker(status)) {
        context.stop = DirectoryContext::Stop::invalid;
        context.findings.add(name + "/type", Verdict::refused,
                             name + ": is " + file_type_text(status.st_mode) +
                                 "; only a regular file may stand at this name, anything else makes the run fail "
                                 "without the clean-up");
        return;
    }
    const bool after_run = context.moment == DirectoryMoment::after_run && context.run_began.has_value();
    // A marker from the same clock tick as the socket was there before the start: the parent
    // asks for a stop only once the supervisor it started is running, a launch later.
    if (after_run && context.supervisor_started_by && older(*context.supervisor_started_by, status.st_mtim)) {
        context.stop = DirectoryContext::Stop::asked;
        context.findings.add(name, Verdict::note, name + ": the parent asked for a stop with the marker");
        return;
    }
    context.stop = DirectoryContext::Stop::stale;
    context.findings.add(name, Verdict::refused,
                         name + (after_run ? ": the marker was already there when the supervisor started (it is older "
                                             "than parent.sock): the run stopped before the preflight, ran only the "
                                             "clean-up, and exited 1"
                                           : ": a stop marker is already there (left by an earlier session?): the run "
                                             "stops before the preflight, runs only the clean-up, and exits 1"));
}

namespace {

// Whether a refusal named above stops a run before its first child: an input file, the stop
// marker's type, or how the supervisor was started.
bool refused_before_any_child(const Findings& findings) {
    return std::ranges::any_of(findings.all(), [](const Finding& finding) {
        if (finding.verdict != Verdict::refused) return false;
        const std::string_view check = finding.check;
        const auto names = [check](std::string_view name) {
            return check == name || (check.starts_with(name) && check.substr(name.size()).starts_with("/"));
        };
        return names(kNodeExecutableName) || names(kGuardScriptName) || names(kCoreExecutableName) ||
               names(kCoreConfigurationName) || check == "stop/type" || names("launch");
    });
}

std::string why_the_core_never_ran(DirectoryContext::Stop stop) {
    switch (stop) {
    case DirectoryContext::Stop::asked: return "the parent's stop came before the launch";
    case DirectoryContext::Stop::stale: return "the stop marker already there stopped the run before the preflight";
    case DirectoryContext::Stop::absent:
    case DirectoryContext::Stop::invalid: break;
    }
    return "with no stop marker, the preflight refused or the parent's link closed before the launch";
}

}  // namespace

void describe_leftovers(DirectoryContext& context) {
    if (!context.examinable) return;
    const bool after_run = context.moment == DirectoryMoment::after_run;
    // Before a start, whatever is there; after a run, only what that run wrote.
    const auto left = [&](std::string_view name) {
        const std::optional<struct stat> status = status_of(context, name);
        if (!status) return false;
        if (!after_run) return true;
        return context.run_began.has_value() && (name == pid_file_of(context.form) || context.of_this_run(*status));
    };
    const bool helper = context.form == SupervisorForm::run && left(kHelperPidFile);
    const bool recovery =
        context.form == SupervisorForm::recover ? left(kRecoveryPidFile) : !after_run && left(kRecoveryPidFile);
    const bool core = left(kCorePidFile);
    const bool core_exit = left(kCoreExitFile);
    const bool done = left(kDoneFile);
    const bool cleanup_error = left(kCleanupErrorFile);
    Findings& found = context.findings;
    if (!helper && !recovery && !core && !done && !cleanup_error) {
        if (!after_run) {
            found.add("left", Verdict::note,
                      "left: no state files; nothing has run here, or a run was refused before or during the "
                      "handshake (the directory, the session file, the socket, not root, or no acknowledgement in "
                      "time)");
        } else if (context.form == SupervisorForm::run) {
            found.add("left", Verdict::note,
                      "left: no state file of this run: it was refused before or during the handshake (the "
                      "directory, the session file, the socket, not root, a helper.pid already there, or no "
                      "acknowledgement in time); no child ran, no recovery is needed");
        } else {
            found.add("left", Verdict::note,
                      "left: no state file of this recovery: it was refused before it started (the directory, the "
                      "session file, not root, or a recovery.pid already there); no child ran");
        }
        return;
    }
    const bool early = refused_before_any_child(found);
    if (helper && !core && !done && !cleanup_error)
        found.add("left/helper.pid", Verdict::note,
                  "left: only helper.pid" + pid_of(context, kHelperPidFile) +
                      (early ? ": the run stopped at the refusal above, before any child started; no recovery is "
                               "needed: fix it and run again in a fresh directory"
                             : ": the run passed the handshake and failed before any end marker, perhaps after a "
                               "child started (the supervisor was killed, or a child could not be started or "
                               "supervised): recover in a fresh directory with good input files; a recovery on the "
                               "same inputs would fail the same way and use up its directory"));
    if (helper && !core && (done || cleanup_error))
        found.add("left/no-core", Verdict::note,
                  "left: no core.pid: the core never ran; " + why_the_core_never_ran(context.stop));
    if (core)
        found.add("left/core.pid", Verdict::note,
                  "left: core.pid" + pid_of(context, kCorePidFile) + ": the core was started");
    if (core_exit) {
        const std::string document = content_of(context, kCoreExitFile);
        const std::optional<CoreExitRecord> record = read_core_exit(document);
        found.add("left/core-exit", Verdict::note,
                  "left: core-exit (" + document + "): the core " +
                      (record ? core_end_in_words(*record) : std::string("ended, but the record cannot be read")));
    }
    if (recovery)
        found.add("left/recovery.pid", Verdict::note,
                  "left: recovery.pid" + pid_of(context, kRecoveryPidFile) + ": a recovery ran here" +
                      (done || cleanup_error || !after_run ? ""
                       : early ? "; it stopped at the refusal above before the guard started: recover in a fresh "
                                 "directory with good input files"
                               : "; it failed before any end marker (the guard could not be started or "
                                 "supervised, or the supervisor was killed): recover in a fresh directory"));
    if (done)
        found.add("left/done", Verdict::note,
                  "left: done (" + content_of(context, kDoneFile) + "): the guard's clean-up succeeded");
    if (cleanup_error)
        found.add("left/cleanup-error", Verdict::note,
                  "left: cleanup-error: the guard's clean-up did not succeed; the host may need the clean-up again "
                  "(recover in a fresh directory)");
    if (core && !done && !cleanup_error)
        found.add("left/no-end-marker", Verdict::note,
                  "left: no end marker after the core: the run failed without the clean-up (the core could not be "
                  "supervised or ended, an invalid stop marker, or the supervisor was killed); run recover");
}

}  // namespace quillmere::check
