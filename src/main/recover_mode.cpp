#include <unistd.h>

#include "children/guard.hpp"
#include "children/input_files.hpp"
#include "children/sealed_configuration.hpp"
#include "children/state_files.hpp"
#include "linux/descendant_sweep.hpp"
#include "main/documents.hpp"
#include "main/end_marker.hpp"
#include "main/modes.hpp"
#include "main/privilege.hpp"
#include "session/session.hpp"

namespace quillmere {

namespace {
// "tun.json" is needed only as the source of the sealed copy, so it is closed right after.
Result<UniqueFd> seal_session_configuration(const Session& session) {
    const ValidatedFile configuration = TRY(open_input_file(session, kCoreConfigurationName, false));
    return seal_configuration(configuration.fd.get(), session.owner_uid);
}
}  // namespace

// The recover sequence: the run sequence without the parent link, the stop checkpoints,
// "sing-box", the preflight and the core.
Result<void> recover_mode(std::string_view state_dir_argument) {
    const Session session = TRY(load_session(state_dir_argument));
    TRY(require_root());
    // Before the guard, so that nothing it leaves behind is orphaned to init; swept on the way out.
    const DescendantSweep sweep = TRY(DescendantSweep::begin());
    TRY(write_state_file(session.state_dir, kRecoveryPidFile, pid_document(::getpid())));

    const GuardFiles guard = TRY(open_guard_files(session));
    const UniqueFd sealed = TRY(seal_session_configuration(session));

    const bool cleaned = TRY(run_guard(session.state_dir, GuardMode::cleanup, sealed.get(), guard));
    return write_end_marker(session, cleaned);
}

}  // namespace quillmere
