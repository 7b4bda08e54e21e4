#include "linux/syscalls.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>

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

int raw_reset_signal_disposition(int sig) noexcept {
    // The kernel's sigaction is the handler, the flags, on most architectures a restorer, and
    // the mask, in an order that varies: SIG_DFL, no flags and an empty mask make every field
    // zero whatever the order, and the buffer is larger than any architecture's record.
    const std::array<unsigned long, 8> default_action{};
    constexpr unsigned long kKernelSigsetBytes = (NSIG - 1) / 8;
    return static_cast<int>(::syscall(SYS_rt_sigaction, sig, default_action.data(), nullptr, kKernelSigsetBytes));
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

int raw_open_retrying(const char* path, int flags, mode_t mode) noexcept {
    int fd = -1;
    do {
        fd = ::open(path, flags, mode);
    } while (fd == -1 && errno == EINTR);
    return fd;
}

Result<UniqueFd> open_retrying(const std::string& path, int flags, mode_t mode) {
    const int fd = raw_open_retrying(path.c_str(), flags, mode);
    if (fd == -1) return fail_last_os_error();
    return UniqueFd(fd);
}

}  // namespace quillmere
