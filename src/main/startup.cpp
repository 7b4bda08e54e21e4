#include "main/startup.hpp"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "main/entry.hpp"

namespace quillmere {

namespace {

// A standard descriptor that stays closed would be handed to the next file the supervisor
// opens, and the banner or the failure marker could then land in a state file. Without
// "/dev/null" to fill it the process cannot keep that promise, so it ends at once: status 1,
// and the marker if standard error at least is open.
[[noreturn]] void fail_at_start() noexcept {
    if (::fcntl(STDERR_FILENO, F_GETFD) != -1) {
        const ssize_t ignored = ::write(STDERR_FILENO, kFailureMarker.data(), kFailureMarker.size());
        (void)ignored;
    }
    ::_exit(1);
}

void open_standard_descriptors() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open returns the lowest free number, which is `fd` itself: the lower ones are open.
        int opened = -1;
        do {
            opened = ::open("/dev/null", O_RDWR | O_NOCTTY);
        } while (opened == -1 && errno == EINTR);
        if (opened == -1) fail_at_start();
        if (opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

void mark_inherited_descriptors_cloexec() noexcept {
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    // Kernels before 5.11: walk the descriptor table up to the limit.
    rlimit limit{};
    rlim_t highest = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) highest = limit.rlim_cur;
    if (highest > 65536) highest = 65536;
    for (int fd = 3; fd < static_cast<int>(highest); ++fd) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags != -1 && (flags & FD_CLOEXEC) == 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

}  // namespace

void prepare_process() noexcept {
    ::signal(SIGPIPE, SIG_IGN);
    open_standard_descriptors();
    mark_inherited_descriptors_cloexec();
}

}  // namespace quillmere
