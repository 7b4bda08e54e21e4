#pragma once
// The files the parent places in the state directory for the children. Each is opened once,
// without following links, checked on its descriptor, and from then on used only through that
// descriptor: executables are run as their /proc/self/fd path and checked again in the child.

#include <sys/types.h>

#include <string>
#include <string_view>

#include "linux/child_command.hpp"
#include "linux/error.hpp"
#include "linux/unique_fd.hpp"
#include "session/session.hpp"

namespace quillmere {

inline constexpr std::string_view kCoreExecutableName = "sing-box";
inline constexpr std::string_view kCoreConfigurationName = "tun.json";
inline constexpr std::string_view kNodeExecutableName = "node";
inline constexpr std::string_view kGuardScriptName = "network-guard.cjs";

struct ValidatedFile {
    std::string path;  // state_dir, a slash, the file name
    UniqueFd fd;       // read-only, non-blocking, close-on-exec
    uid_t owner_uid = 0;
    bool executable = false;
};

struct GuardFiles {
    ValidatedFile node;
    ValidatedFile script;
    // The script's bytes as they were when it was opened, sealed: what the guard runs, in
    // both of its runs.
    UniqueFd script_copy;
};

// 0 when the file behind `fd` carries no file capabilities, EPERM when it does, and the errno
// of the question when its file system cannot say. Usable in the child before exec.
[[nodiscard]] int file_capability_violation(int fd) noexcept;

// 0 when `fd` meets the rules, otherwise the errno to fail with (EPERM for a broken rule).
// Allocates nothing and calls only fstat and fgetxattr, so the child can run it before exec,
// where exec itself refuses a file still open for writing (ETXTBSY).
[[nodiscard]] int descriptor_violation(int fd, uid_t owner_uid, bool executable) noexcept;
// The rules, read under a read lease taken through `fd` and given back before returning: a
// file that somebody holds open for writing fails with EAGAIN, one on a file system without
// leases with EINVAL, and one the supervisor may not lease (CAP_LEASE missing) with EACCES.
[[nodiscard]] Result<void> validate_descriptor(int fd, uid_t owner_uid, bool executable);

[[nodiscard]] Result<ValidatedFile> open_input_file(const Session& session, std::string_view name, bool executable);
// "node" and "network-guard.cjs", both executables, and the sealed copy of the script.
[[nodiscard]] Result<GuardFiles> open_guard_files(const Session& session);

// Ties `command`, whose program must be the descriptor path of `file`, to that file: checks it
// again, makes its path argv[0], and adds the inherit and revalidation hooks.
[[nodiscard]] Result<void> bind_executable(const ValidatedFile& file, ChildCommand& command);

// Runs descriptor_violation in the child on the captured values.
[[nodiscard]] PreExecHook revalidation_hook(int fd, uid_t owner_uid, bool executable) noexcept;

}  // namespace quillmere
