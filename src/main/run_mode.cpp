#include <unistd.h>

#include "children/core.hpp"
#include "children/core_exit_record.hpp"
#include "children/guard.hpp"
#include "children/input_files.hpp"
#include "children/sealed_configuration.hpp"
#include "children/state_files.hpp"
#include "linux/descendant_sweep.hpp"
#include "main/documents.hpp"
#include "main/end_marker.hpp"
#include "main/modes.hpp"
#include "main/privilege.hpp"
#include "session/parent_link.hpp"
#include "session/session.hpp"
#include "session/stop_request.hpp"

namespace quillmere {

namespace {
constexpr Error kCoreNeverRan = Error::with_text(ErrorKind::other, "the core was never started");
}  // namespace

// The run sequence, one straight line. Whatever has been acquired is released in reverse
// order of acquisition on every path: the sealed configuration, "tun.json", "sing-box", the
// guard files, the sweep of whatever the children left behind, and the parent link last, so
// the parent sees the end of its stream only after the last state file has been written and
// nothing of the session is left.
Result<void> run_mode(std::string_view state_dir_argument) {
    const Session session = TRY(load_session(state_dir_argument));
    TRY(require_root());
    const ParentLink link = TRY(connect_parent_link(session));
    // Before the first child, so that no descendant can be orphaned to init.
    const DescendantSweep sweep = TRY(DescendantSweep::begin());
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

    const std::optional<CoreEnd> core_end =
        TRY(run_core(preflight_passed, session, link, core_executable, sealed.get()));
    const bool core_ran = core_end.has_value();
    // Recorded as soon as the core has been reaped. A record that cannot be written must not
    // cost the host its clean-up: that still runs, and the run fails only afterwards.
    Result<void> core_recorded;
    if (core_ran) core_recorded = write_state_file(session.state_dir, kCoreExitFile, core_exit_document(*core_end));

    const bool cleaned = TRY(run_guard(session.state_dir, GuardMode::cleanup, sealed.get(), guard));
    TRY(write_end_marker(session, cleaned));

    // A session whose core never ran did not do what the parent asked for, even though it
    // was cleaned up properly.
    if (!core_ran) return fail(kCoreNeverRan);
    return core_recorded;
}

}  // namespace quillmere
