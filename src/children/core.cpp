#include "children/core.hpp"

#include <optional>

#include "children/scrubbed_command.hpp"
#include "children/sealed_configuration.hpp"
#include "children/state_files.hpp"
#include "linux/deadline.hpp"
#include "linux/descendant_sweep.hpp"
#include "linux/owned_child.hpp"
#include "linux/path.hpp"
#include "session/stop_request.hpp"

namespace quillmere {

namespace {

// A stopped core gets this long to shut its tunnel down by itself before SIGKILL.
constexpr std::uint64_t kCoreStopGraceSeconds = 4;

// Watches the core until it ends by itself, or ends it when the parent asks for a stop (the
// marker, or letting go of the link). Each pass makes only non-blocking calls.
Result<CoreEnd> supervise_core(const Session& session, const ParentLink& link, OwnedChild& core) {
    // The parent learns the core's pid before anything can end it, even a core that exits at once.
    TRY(write_state_file(session.state_dir, kCorePidFile, decimal(static_cast<unsigned long long>(core.pid()))));
    for (;;) {
        if (const std::optional<int> status = TRY(try_reap(core))) return CoreEnd{*status, false};
        if (TRY(stop_requested(session.state_dir)) || !parent_link_alive(link)) {
            TRY(terminate(core, kCoreStopGraceSeconds));
            return CoreEnd{core.wait_status(), true};
        }
        // What the preflight's helpers and the core abandon and then end would otherwise wait
        // as zombies for the sweep at the end of the mode, for as long as the session lasts.
        reap_exited_orphans(core.pid());
        sleep_for(kStopPollPeriod);
    }
}

Result<ChildCommand> core_command(const ValidatedFile& core_executable, int sealed_config_fd) {
    ChildCommand command = scrubbed_command(descriptor_path(core_executable.fd.get()));
    TRY(bind_executable(core_executable, command));
    // The configuration is checked once more right before it is handed over.
    TRY(verify_sealed(sealed_config_fd));
    command.hooks.push_back(inherit_hook(sealed_config_fd));
    command.argv.emplace_back("run");
    command.argv.emplace_back("-c");
    command.argv.push_back(descriptor_path(sealed_config_fd));
    return command;
}

}  // namespace

Result<std::optional<CoreEnd>> run_core(bool preflight_passed, const Session& session, const ParentLink& link,
                                        const ValidatedFile& core_executable, int sealed_config_fd) {
    // Checkpoint B: the last chance to stay down before anything is launched.
    constexpr std::optional<CoreEnd> kNotStarted;
    if (!preflight_passed) return kNotStarted;
    if (TRY(stop_requested(session.state_dir))) return kNotStarted;
    if (!parent_link_alive(link)) return kNotStarted;

    // The core's own descriptor of the configuration, at its start, closed here once it is handed over.
    UniqueFd configuration = TRY(open_sealed_for_child(sealed_config_fd));
    ChildCommand command = TRY(core_command(core_executable, configuration.get()));
    OwnedChild core = TRY(spawn_contained(command));
    configuration.reset();

    const Result<CoreEnd> supervised = supervise_core(session, link, core);
    if (!supervised.has_value()) {
        // Whatever went wrong, the core must not outlive this call unaccounted for; if even
        // that cannot be confirmed, the parent must hear about the unconfirmed exit instead.
        const Result<void> terminated = terminate(core, 0);
        release_child(core);
        return fail(terminated.has_value() ? supervised.error() : terminated.error());
    }
    release_child(core);
    return *supervised;
}

}  // namespace quillmere
