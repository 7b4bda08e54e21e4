#include "children/input_files.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <utility>

#include "children/file_rules.hpp"
#include "children/sealed_configuration.hpp"
#include "linux/path.hpp"
#include "linux/read_lease.hpp"
#include "linux/syscalls.hpp"
#include "linux/untrusted_open.hpp"

namespace quillmere {

namespace {

constexpr char kCapabilityAttribute[] = "security.capability";

// Runs in the forked child just before exec: the file may have been changed through another
// open descriptor or a chmod since the supervisor checked it, and this is the last moment at
// which that can still stop the program from running as root.
// The hook's values: the owner the file must belong to, and whether it is to be executed.
constexpr std::size_t kHookOwner = 0;
constexpr std::size_t kHookExecutable = 1;

int revalidate_descriptor(const PreExecHook& hook) noexcept {
    return descriptor_violation(hook.fd, static_cast<uid_t>(hook.values[kHookOwner]),
                                hook.values[kHookExecutable] != 0);
}

}  // namespace

int file_capability_violation(int fd) noexcept {
    // File capabilities would grant the program privileges of their own on exec. The raw call
    // keeps this usable in the child; no buffer is needed to learn whether the attribute exists.
    if (raw_fgetxattr(fd, kCapabilityAttribute, nullptr, 0) >= 0) return EPERM;
    // Any other failure (a file system without attributes, say) leaves the question open, and
    // an open question refuses the file.
    if (errno != ENODATA) return errno;
    return 0;
}

int descriptor_violation(int fd, uid_t owner_uid, bool executable) noexcept {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return errno;
    if (!broken_file_rules(status, owner_uid, executable).empty()) return EPERM;
    if (!executable) return 0;
    return file_capability_violation(fd);
}

Result<void> validate_descriptor(int fd, uid_t owner_uid, bool executable) {
    // The rules say who may open the file for writing from now on: its owner and root. They
    // say nothing of a descriptor opened while the file was writable by others (created 0666,
    // then tightened), whose holder could rewrite a checked program before it is executed as
    // root. The lease is granted only while nobody holds the file open for writing, so the
    // rules are read while it is held; where none can be had the file is refused.
    const Result<ReadLease> lease = ReadLease::take(fd);
    // A file the rules refuse is refused for that, whatever the lease said: a FIFO or a
    // directory takes no lease at all.
    const int violation = descriptor_violation(fd, owner_uid, executable);
    if (violation != 0) return fail_errno(violation);
    if (!lease.has_value()) return fail(lease.error());
    return {};
}

Result<ValidatedFile> open_input_file(const Session& session, std::string_view name, bool executable) {
    std::string path = join_path(session.state_dir, name);
    // A FIFO planted at the name is refused by the rules instead of holding the supervisor in
    // open until a writer appears; a symbolic link is never followed.
    UniqueFd fd = TRY(open_untrusted(path));
    TRY(validate_descriptor(fd.get(), session.owner_uid, executable));
    return ValidatedFile{std::move(path), std::move(fd), session.owner_uid, executable};
}

Result<GuardFiles> open_guard_files(const Session& session) {
    ValidatedFile node = TRY(open_input_file(session, kNodeExecutableName, true));
    ValidatedFile script = TRY(open_input_file(session, kGuardScriptName, true));
    // The script is read by the loader, not executed by the kernel, so nothing but a copy
    // keeps its bytes from changing under a writer after the checks.
    UniqueFd copy = TRY(seal_guard_script(script.fd.get(), session.owner_uid));
    return GuardFiles{std::move(node), std::move(script), std::move(copy)};
}

Result<void> bind_executable(const ValidatedFile& file, ChildCommand& command) {
    // The command must already run this very descriptor; binding any other program to the
    // file's hooks would validate one file and execute another.
    if (command.program != descriptor_path(file.fd.get())) return fail_errno(EPERM);
    TRY(validate_descriptor(file.fd.get(), file.owner_uid, file.executable));

    if (command.argv.empty()) {
        command.argv.push_back(file.path);
    } else {
        command.argv.front() = file.path;
    }
    // Inherit first: the descriptor path names nothing in the child until the descriptor
    // survives exec. Revalidation second, as the last word before the program runs.
    command.hooks.push_back(inherit_hook(file.fd.get()));
    command.hooks.push_back(revalidation_hook(file.fd.get(), file.owner_uid, file.executable));
    return {};
}

PreExecHook revalidation_hook(int fd, uid_t owner_uid, bool executable) noexcept {
    PreExecHook hook;
    hook.run = revalidate_descriptor;
    hook.fd = fd;
    hook.values[kHookOwner] = owner_uid;
    hook.values[kHookExecutable] = executable ? 1 : 0;
    return hook;
}

}  // namespace quillmere
