#pragma once
// The kernel interfaces that the C library does not wrap (or wraps only in some versions),
// each as one small function, and open with EINTR retried. The raw_ forms return the kernel's result and leave errno set,
// so that they can also run in a forked child; the others turn -1/errno into an Error and
// retry EINTR where the caller is meant to.

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <string>

#include "linux/error.hpp"
#include "linux/unique_fd.hpp"

namespace quillmere {

[[nodiscard]] int raw_pidfd_open(pid_t pid, unsigned flags) noexcept;
[[nodiscard]] int raw_pidfd_send_signal(int pidfd, int sig) noexcept;
[[nodiscard]] int raw_waitid_pidfd(int pidfd, siginfo_t* info, int options) noexcept;
[[nodiscard]] int raw_memfd_create(const char* name, unsigned flags) noexcept;
[[nodiscard]] long raw_fgetxattr(int fd, const char* name, void* value, unsigned long size) noexcept;
// rt_sigaction setting `sig` to SIG_DFL with no flags and an empty mask, for any signal the
// kernel lets a program change, the C library's reserved ones included.
[[nodiscard]] int raw_reset_signal_disposition(int sig) noexcept;

// pidfd_open with EINTR retried.
[[nodiscard]] Result<UniqueFd> pidfd_open(pid_t pid);
// pidfd_send_signal with EINTR retried.
[[nodiscard]] Result<void> pidfd_send_signal(int pidfd, int sig);

// open with EINTR retried: the descriptor, or -1 with errno set, for code that must not
// allocate. `mode` is passed on only where `flags` create a file.
[[nodiscard]] int raw_open_retrying(const char* path, int flags, mode_t mode = 0) noexcept;
// open with EINTR retried, any other failure as an Error.
[[nodiscard]] Result<UniqueFd> open_retrying(const std::string& path, int flags, mode_t mode = 0);

}  // namespace quillmere
