#include "check/directory_check.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "check/directory_context.hpp"
#include "check/launch_checks.hpp"
#include "children/input_files.hpp"
#include "children/state_files.hpp"

namespace quillmere::check {

namespace {

std::optional<std::uintmax_t> largest_copy(const DirectoryContext& context) {
    if (!context.examinable) return std::nullopt;
    std::uintmax_t largest = 0;
    for (const std::string_view name : {kCoreConfigurationName, kGuardScriptName}) {
        struct stat status {};
        if (::lstat(context.entry(name).c_str(), &status) == 0 && S_ISREG(status.st_mode))
            largest = std::max(largest, static_cast<std::uintmax_t>(status.st_size));
    }
    return largest;
}

}  // namespace

Findings check_state_directory(std::string_view argument, SupervisorForm form, DirectoryMoment moment,
                               std::optional<pid_t> supervisor_pid) {
    DirectoryContext context;
    context.argument = std::string(argument);
    context.form = form;
    context.moment = moment;
    context.supervisor_pid = supervisor_pid;
    const bool run = form == SupervisorForm::run;

    // In the order the supervisor meets them, up to the start of its first child.
    check_argument(context);
    check_directory(context);
    check_session_file(context);
    check_canonical_path(context);
    find_the_run(context);
    if (run) check_parent_socket(context);
    check_absent_state_file(context, run ? kHelperPidFile : kRecoveryPidFile);
    if (run) judge_gone_listener(context);
    check_input_file(context, kNodeExecutableName, true);
    check_input_file(context, kGuardScriptName, true);
    if (run) check_input_file(context, kCoreExecutableName, true);
    check_input_file(context, kCoreConfigurationName, false);
    // What the supervisor inherits from whoever starts it, met at its first copy and child.
    check_launch(context.findings, form, largest_copy(context));
    check_lease_capability(context);
    if (run) {
        check_stop_marker(context);
        check_absent_state_file(context, kCorePidFile);
        check_absent_state_file(context, kCoreExitFile);
    }
    // What the end of the run meets.
    check_absent_state_file(context, kDoneFile);
    check_absent_state_file(context, kCleanupErrorFile);

    describe_leftovers(context);
    return std::move(context.findings);
}

}  // namespace quillmere::check
