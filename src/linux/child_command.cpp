#include "linux/child_command.hpp"

#include <fcntl.h>

#include <cerrno>

namespace quillmere {

namespace {

// Runs in the forked child: only fcntl, and only the captured descriptor number. The other
// descriptor flags are kept, so that nothing but close-on-exec changes.
int inherit_descriptor(const PreExecHook& hook) noexcept {
    const int flags = ::fcntl(hook.fd, F_GETFD);
    if (flags == -1) return errno;
    if (::fcntl(hook.fd, F_SETFD, flags & ~FD_CLOEXEC) == -1) return errno;
    return 0;
}

}  // namespace

PreExecHook inherit_hook(int fd) noexcept {
    PreExecHook hook;
    hook.run = inherit_descriptor;
    hook.fd = fd;
    return hook;
}

}  // namespace quillmere
