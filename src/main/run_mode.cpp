#include <unistd.h>

#include "children/core.hpp"
#include "children/guard.hpp"
#include "children/input_files.hpp"
#include "children/sealed_configuration.hpp"
#include "children/state_files.hpp"
#include "main/documents.hpp"
#include "main/end_marker.hpp"
#include "main/modes.hpp"
#include "main/privilege.hpp"
#include "session/parent_link.hpp"
#include "session/session.hpp"
#include "session/stop_request.hpp"

namespace quillmere {

// The run sequence, one straight line. Whatever has been acquired is released in reverse
// order of acquisition on every path: the sealed configuration, "tun.json", "sing-box", the
// guard files, and the parent link last, so the parent sees the end of its stream only after
// the last state file has been written.
Result<void> run_mode(std::string_view state_dir_argument) {
    const Session session = TRY(load_session(state_dir_argument));
    TRY(require_root());
    const ParentLink link = TRY(connect_parent_link(session));
    TRY(write_state_file(session.state_dir, kHelperPidFile, pid_document(::getpid())));

    const GuardFiles guard = TRY(open_guard_files(session));
    const ValidatedFile core_executable = TRY(open_input_file(session, kCoreExecutableName, true));
    const ValidatedFile core_configuration = TRY(open_input_file(session, kCoreConfigurationName, false));
    const UniqueFd sealed = TRY(seal_configuration(core_configuration.fd.get(), session.owner_uid));

    // Checkpoint A: a stop wanted before the preflight skips both it and the core, but the
    // clean-up still runs, because the guard may have work to undo from an earlier attempt.
    const bool stop_wanted = TRY(stop_requested(session.state_dir)) || !parent_link_alive(link);
    bool preflight_passed = false;
    if (!stop_wanted) preflight_passed = TRY(run_guard(session.state_dir, GuardMode::preflight, sealed.get(), guard));

    const Result<void> core = run_core(preflight_passed, session, link, core_executable, sealed.get());
    // "Not started" is told apart from every other error by its kind alone.
    const bool core_not_started = !core.has_value() && core.error().kind == kCoreNotStarted.kind;
    if (!core.has_value() && !core_not_started) return fail(core.error());

    const bool cleaned = TRY(run_guard(session.state_dir, GuardMode::cleanup, sealed.get(), guard));
    TRY(write_end_marker(session, cleaned));

    // A session whose core never ran did not do what the parent asked for, even though it
    // was cleaned up properly.
    if (core_not_started) return fail(kCoreNotStarted);
    return {};
}

}  // namespace quillmere
