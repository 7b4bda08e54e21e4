#include "linux/syscalls.hpp"

#include <sys/syscall.h>
#include <unistd.h>

namespace quillmere {

int raw_pidfd_open(pid_t pid, unsigned flags) noexcept {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, flags));
}

int raw_pidfd_send_signal(int pidfd, int sig) noexcept {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0U));
}

int raw_waitid_pidfd(int pidfd, siginfo_t* info, int options) noexcept {
    return static_cast<int>(::syscall(SYS_waitid, P_PIDFD, pidfd, info, options, nullptr));
}

int raw_memfd_create(const char* name, unsigned flags) noexcept {
    return static_cast<int>(::syscall(SYS_memfd_create, name, flags));
}

long raw_fgetxattr(int fd, const char* name, void* value, unsigned long size) noexcept {
    return ::syscall(SYS_fgetxattr, fd, name, value, size);
}

Result<UniqueFd> pidfd_open(pid_t pid) {
    for (;;) {
        const int fd = raw_pidfd_open(pid, 0);
        if (fd >= 0) return UniqueFd(fd);
        if (errno != EINTR) return fail_last_os_error();
    }
}

Result<void> pidfd_send_signal(int pidfd, int sig) {
    while (raw_pidfd_send_signal(pidfd, sig) != 0) {
        if (errno != EINTR) return fail_last_os_error();
    }
    return {};
}

}  // namespace quillmere
