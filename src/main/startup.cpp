#include "main/startup.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "linux/cloexec.hpp"
#include "linux/syscalls.hpp"

namespace quillmere {

namespace {

// open returns the lowest free number, and the lower standard descriptors are open by then,
// so each one that was closed is refilled in place.
bool open_standard_descriptors() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (raw_open_retrying("/dev/null", O_RDWR | O_NOCTTY) != fd) return false;
    }
    return true;
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
    (void)mark_descriptors_cloexec(CloexecFallback::kListed);
    return true;
}

}  // namespace quillmere
