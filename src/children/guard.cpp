#include "children/guard.hpp"

#include <optional>
#include <string>

#include "children/scrubbed_command.hpp"
#include "children/sealed_configuration.hpp"
#include "linux/deadline.hpp"
#include "linux/descendant_sweep.hpp"
#include "linux/owned_child.hpp"
#include "linux/path.hpp"

namespace quillmere {
namespace {

constexpr Nanoseconds kGuardTimeLimit = seconds(6);

// Runs the guard script from the sealed copy the supervisor made of it, never from its path:
// takes the descriptor number from argv[1] and the path from argv[2], drops the number from
// the argument list, and compiles the text read through /proc/self/fd as the main module.
constexpr std::string_view kLoaderText =
    "const fs=require('node:fs');const Module=require('node:module');const fd=Number(process.argv[1]);const "
    "filename=process.argv[2];process.argv.splice(1,1);const guard=new "
    "Module(filename);guard.filename=filename;process.mainModule=guard;guard._compile(fs.readFileSync('/proc/self/fd/"
    "'+fd,'utf8'),filename);";
static_assert(kLoaderText.size() == 304);

}  // namespace

const std::string_view kGuardLoader = kLoaderText;

std::string_view guard_mode_word(GuardMode mode) noexcept {
    switch (mode) {
    case GuardMode::preflight: return "preflight";
    case GuardMode::cleanup: return "cleanup";
    }
    return "cleanup";
}

Result<bool> run_guard(std::string_view state_dir, GuardMode mode, int sealed_config_fd, const GuardFiles& guard) {
    TRY(verify_sealed(sealed_config_fd));
    ChildCommand command = scrubbed_command(descriptor_path(guard.node.fd.get()));
    TRY(bind_executable(guard.node, command));
    // The script is not executed by the kernel but read by the loader, from the sealed copy
    // taken when it was opened; the file itself is held to the executable rules all the same.
    TRY(validate_descriptor(guard.script.fd.get(), guard.script.owner_uid, true));
    // A read-only descriptor of the sealed copy with an offset of its own, like the
    // configuration's: the supervisor's own is the writable one it filled the copy through.
    UniqueFd script = TRY(open_sealed_for_child(guard.script_copy.get()));
    command.hooks.push_back(inherit_hook(script.get()));
    // The guard's own descriptor of the configuration, at its start and checked again, so that
    // whatever it leaves running cannot move the offset the core will read from.
    UniqueFd configuration = TRY(open_sealed_for_child(sealed_config_fd));
    command.hooks.push_back(inherit_hook(configuration.get()));

    const std::string script_fd = decimal(static_cast<unsigned long long>(script.get()));
    const std::string sealed_fd = decimal(static_cast<unsigned long long>(configuration.get()));
    command.argv.insert(command.argv.end(), {
                                                "--eval",
                                                std::string(kGuardLoader),
                                                "--",
                                                script_fd,
                                                join_path(state_dir, kGuardScriptName),
                                                std::string(guard_mode_word(mode)),
                                                std::string(state_dir),
                                                "linux",
                                                "--sealed-config-fd",
                                                sealed_fd,
                                            });

    // An error from here on leaves through the child's destructor, which terminates a guard
    // still running: none outlives this call.
    OwnedChild child = TRY(spawn_contained(command));
    script.reset();
    configuration.reset();
    const Deadline deadline = Deadline::after(kGuardTimeLimit);
    bool approved = false;
    for (;;) {
        if (const std::optional<int> status = TRY(try_reap(child))) {
            approved = *status == 0;
            break;
        }
        if (deadline.passed()) {
            TRY(terminate(child, 0));
            break;
        }
        reap_exited_orphans(child.pid());
        sleep_for(kGuardPollPeriod);
    }
    release_child(child);
    return approved;
}

}  // namespace quillmere
