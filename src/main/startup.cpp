#include "main/startup.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <initializer_list>

namespace quillmere {

namespace {

// open returns the lowest free number, and the lower standard descriptors are open by then,
// so each one that was closed is refilled in place.
bool open_standard_descriptors() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = -1;
        do {
            opened = ::open("/dev/null", O_RDWR | O_NOCTTY);
        } while (opened == -1 && errno == EINTR);
        if (opened != fd) return false;
    }
    return true;
}

// Kernels before 5.11 lack close_range: walk the open descriptors themselves, so that none is
// missed whatever limit the launcher set after opening it.
void mark_listed_descriptors_cloexec() noexcept {
    DIR* listing = ::opendir("/proc/self/fd");
    if (listing == nullptr) return;
    const int own = ::dirfd(listing);
    while (const dirent* entry = ::readdir(listing)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd < 3 || fd == own) continue;
        const int flags = ::fcntl(static_cast<int>(fd), F_GETFD);
        if (flags != -1 && (flags & FD_CLOEXEC) == 0) ::fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
    }
    ::closedir(listing);
}

void mark_inherited_descriptors_cloexec() noexcept {
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    mark_listed_descriptors_cloexec();
}

// The deepest a run or a recovery goes needs about 24 KiB of stack; a stack overflow cannot
// be turned into an error value, only into a death by SIGSEGV halfway through, so a launcher's
// limit below this leaves the process nothing it may start.
constexpr rlim_t kLeastStackLimit = rlim_t{64} * 1024;

bool enough_stack() noexcept {
    rlimit stack{};
    return ::getrlimit(RLIMIT_STACK, &stack) != 0 || stack.rlim_cur == RLIM_INFINITY ||
           stack.rlim_cur >= kLeastStackLimit;
}

// Interval timers survive exec, pkexec's included: one armed by the launcher would end the
// supervisor with SIGALRM, SIGVTALRM or SIGPROF in the middle of a session, between two state
// files and with a child still to clean up after. The supervisor sets no timer of its own; it
// waits by polling against deadlines.
void disarm_interval_timers() noexcept {
    const itimerval disarmed{};
    for (const int timer : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) (void)::setitimer(timer, &disarmed, nullptr);
}

}  // namespace

bool prepare_process() noexcept {
    disarm_interval_timers();
    // None of these can fail for a valid signal number and a fixed disposition. Each would end
    // the process halfway through a session, where the ordinary error path releases and
    // cleans up:
    // - SIGXFSZ: a write past a launcher's RLIMIT_FSIZE fails with EFBIG (or stops short).
    // - SIGXCPU: all a launcher's soft RLIMIT_CPU does is send it, once a second past the
    //   limit. The hard limit still ends the process, and the limits stay as the launcher set
    //   them, so every child starts under them too.
    // - SIGPIPE: a reader that went away makes the write fail with EPIPE instead. Last of the
    //   start-up calls that cannot fail: scripts/fault-sweep takes it as the first call from
    //   which an injected error must show.
    // Children start with every disposition back at its default (see spawn).
    (void)::signal(SIGXFSZ, SIG_IGN);
    (void)::signal(SIGXCPU, SIG_IGN);
    (void)::signal(SIGPIPE, SIG_IGN);
    // Before anything is opened, so that whatever descriptor 2 is, the marker cannot land in a
    // file of the supervisor's own.
    if (!enough_stack()) return false;
    if (!open_standard_descriptors()) return false;
    mark_inherited_descriptors_cloexec();
    return true;
}

}  // namespace quillmere
