// The state files an earlier supervisor left, judged twice: as what makes the next one fail or
// change its course, and as what they tell about how the earlier one ended.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "check/core_exit_reading.hpp"
#include "check/directory_context.hpp"
#include "check/wording.hpp"
#include "children/state_files.hpp"
#include "linux/untrusted_open.hpp"
#include "session/session_rules.hpp"
#include "session/stop_request.hpp"

namespace quillmere::check {

namespace {

// Only small files are read here, and only as text to quote.
constexpr std::size_t kQuotedBytes = 64;

bool present(const DirectoryContext& context, std::string_view name) {
    struct stat status {};
    return ::lstat(context.entry(name).c_str(), &status) == 0;
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

void check_absent_state_file(DirectoryContext& context, std::string_view file_name) {
    // After a run they are its own results, told by describe_leftovers.
    if (!context.examinable || context.moment == DirectoryMoment::after_run || !present(context, file_name)) return;
    const std::string name(file_name);
    if (file_name == kCleanupErrorFile) {
        context.findings.add(name, Verdict::note,
                             name +
                                 ": present; should the clean-up refuse, it cannot be written again, and the "
                                 "supervisor exits 1 with no new end marker");
        return;
    }
    context.findings.add(name, Verdict::refused, name + ": present; " + consequence(file_name, context.form));
}

void check_stop_marker(DirectoryContext& context) {
    if (!context.examinable) return;
    const std::string name(kStopMarkerName);
    struct stat status {};
    if (::lstat(context.entry(name).c_str(), &status) != 0) {
        if (errno != ENOENT)
            context.findings.add(name, Verdict::refused, name + ": cannot be examined: " + errno_text(errno));
        return;
    }
    if (!is_valid_stop_marker(status)) {
        context.findings.add(name + "/type", Verdict::refused,
                             name + ": is " + file_type_text(status.st_mode) +
                                 "; only a regular file may stand at this name, anything else makes the run fail "
                                 "without the clean-up");
        return;
    }
    if (context.moment == DirectoryMoment::after_run) {
        context.findings.add(name, Verdict::note, name + ": the parent asked for a stop with the marker");
        return;
    }
    context.findings.add(name, Verdict::refused,
                         name +
                             ": a stop marker is already there (left by an earlier session?): the run stops before "
                             "the preflight, runs only the clean-up, and exits 1");
}

void describe_leftovers(DirectoryContext& context) {
    if (!context.examinable) return;
    const bool helper = present(context, kHelperPidFile);
    const bool recovery = present(context, kRecoveryPidFile);
    const bool core = present(context, kCorePidFile);
    const bool done = present(context, kDoneFile);
    const bool cleanup_error = present(context, kCleanupErrorFile);
    Findings& found = context.findings;
    if (!helper && !recovery && !core && !done && !cleanup_error) {
        found.add("left", Verdict::note,
                  "left: no state files; nothing has run here, or a run was refused before or during the handshake "
                  "(the directory, the session file, the socket, not root, or no acknowledgement in time)");
        return;
    }
    if (helper && !core && !done && !cleanup_error)
        found.add("left/helper.pid", Verdict::note,
                  "left: only helper.pid" + pid_of(context, kHelperPidFile) +
                      ": a run passed the handshake and failed before any end marker, most often because an input "
                      "file was refused before any child started; if it may have been killed, run recover");
    if (core)
        found.add("left/core.pid", Verdict::note,
                  "left: core.pid" + pid_of(context, kCorePidFile) + ": the core was started");
    if (present(context, kCoreExitFile)) {
        const std::string document = content_of(context, kCoreExitFile);
        const std::optional<CoreExitRecord> record = read_core_exit(document);
        found.add("left/core-exit", Verdict::note,
                  "left: core-exit (" + document + "): the core " +
                      (record ? core_end_in_words(*record) : std::string("ended, but the record cannot be read")));
    }
    if (recovery)
        found.add("left/recovery.pid", Verdict::note,
                  "left: recovery.pid" + pid_of(context, kRecoveryPidFile) + ": a recovery ran here");
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
