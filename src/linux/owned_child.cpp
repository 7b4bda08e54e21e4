#include "linux/owned_child.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>

#include "linux/spawn.hpp"
#include "linux/syscalls.hpp"
#include "linux/wait_status.hpp"

namespace quillmere {
namespace {

constexpr Nanoseconds kExitConfirmationLimit = seconds(5);
constexpr Nanoseconds kUncontainedPollPeriod = milliseconds(10);

constexpr Error kSigchldUnavailable = Error::with_text(ErrorKind::unsupported, "SIGCHLD ownership is unavailable");
constexpr Error kOwnershipProbeUnexpected =
    Error::with_text(ErrorKind::unsupported, "pidfd ownership probe returned an unexpected result");
constexpr Error kPidfdPollingFailed = Error::with_text(ErrorKind::other, "pidfd polling failed");
constexpr Error kGraceTooLarge = Error::with_text(ErrorKind::invalid_input, "termination grace is too large");
constexpr Error kExitUnconfirmed = Error::with_text(ErrorKind::timed_out, "owned child exit could not be confirmed");
constexpr Error kUncontainedExitUnconfirmed =
    Error::with_text(ErrorKind::timed_out, "uncontained child exit could not be confirmed");

// A handler would be a second party interested in children's exits, SIG_IGN or SA_NOCLDWAIT
// make the kernel reap them at once: either way the exit would not be the supervisor's to
// take. The disposition is inherited from whoever started the supervisor and is only checked.
[[nodiscard]] Result<void> check_sigchld_ownership() {
    struct sigaction current {};
    if (::sigaction(SIGCHLD, nullptr, &current) != 0) return fail_last_os_error();
    const bool has_handler = (current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL;
    if (has_handler || (current.sa_flags & SA_NOCLDWAIT) != 0) return fail(kSigchldUnavailable);
    return {};
}

// Proves that pidfds can be opened, signalled and waited on before any child depends on it.
[[nodiscard]] Result<UniqueFd> probe_pidfd_support() {
    UniqueFd self = TRY(pidfd_open(::getpid()));
    TRY(pidfd_send_signal(self.get(), 0));
    TRY(probe_pidfd_wait(self.get()));
    return self;
}

// The child runs without a pidfd, so nothing may observe it but its own pid: kill it and
// confirm its end by waiting for exactly that pid.
[[nodiscard]] Error put_down_uncontained(pid_t pid, Error pidfd_error) {
    const auto cause = [&]() -> Result<void> {
        if (::kill(pid, SIGKILL) != 0 && errno != ESRCH) return fail_last_os_error();
        const Deadline deadline = Deadline::after(kExitConfirmationLimit);
        for (;;) {
            int status = 0;
            const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
            if (reaped < 0) {
                if (errno == EINTR) continue;
                return fail_last_os_error();
            }
            if (reaped == pid) return {};
            if (deadline.passed()) return fail(kUncontainedExitUnconfirmed);
            sleep_for(kUncontainedPollPeriod);
        }
    }();
    if (cause.has_value()) return pidfd_error;
    return Error::with_text(cause.error().kind, "child containment and exit confirmation failed");
}

[[nodiscard]] Result<void> send_counting_gone_as_sent(int pidfd, int sig) {
    auto sent = pidfd_send_signal(pidfd, sig);
    if (!sent.has_value() && sent.error().is_os_error(ESRCH)) return {};
    return sent;
}

// The parent-watch hook's one value: the supervisor's pid, taken before fork.
constexpr std::size_t kHookSupervisorPid = 0;

int watch_parent(const PreExecHook& hook) noexcept {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) return errno;
    // The supervisor may have died between fork and prctl; then the death signal will never
    // come, and the child must not run unwatched.
    if (::getppid() != static_cast<pid_t>(hook.values[kHookSupervisorPid])) return ECHILD;
    return 0;
}

}  // namespace

Result<void> probe_pidfd_wait(int self_pidfd) {
    // A process can never wait for itself, so ECHILD is the one answer that shows waitid on a
    // pidfd is both supported and honest.
    for (;;) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        if (raw_waitid_pidfd(self_pidfd, &info, WEXITED | WNOHANG) == 0) return fail(kOwnershipProbeUnexpected);
        if (errno == ECHILD) return {};
        if (errno != EINTR) return fail_last_os_error();
    }
}

OwnedChild::OwnedChild(OwnedChild&& other) noexcept
    : pid_(other.pid_), pidfd_(std::move(other.pidfd_)), exited_(other.exited_), wait_status_(other.wait_status_) {}

OwnedChild::~OwnedChild() { release_child(*this); }

Result<OwnedChild> spawn_contained(ChildCommand& command) {
    TRY(check_sigchld_ownership());
    UniqueFd self = TRY(probe_pidfd_support());
    command.hooks.push_back(parent_watch_hook(::getpid()));
    const pid_t pid = TRY(spawn_process(command));
    self.reset();
    auto pidfd = pidfd_open(pid);
    if (!pidfd.has_value()) return fail(put_down_uncontained(pid, pidfd.error()));
    return OwnedChild(pid, std::move(*pidfd));
}

Result<std::optional<int>> try_reap(OwnedChild& child) {
    if (child.exited_) return child.wait_status_;
    siginfo_t info;
    for (;;) {
        std::memset(&info, 0, sizeof info);
        // No WNOWAIT: seeing the exit is reaping it, so the pid is never left as a zombie that
        // could be mistaken for the child later.
        if (raw_waitid_pidfd(child.pidfd_.get(), &info, WEXITED | WNOHANG) == 0) break;
        if (errno != EINTR) return fail_last_os_error();
    }
    if (info.si_pid == 0) return std::nullopt;
    const int status = TRY(wait_status_from(info.si_code, info.si_status));
    child.exited_ = true;
    child.wait_status_ = status;
    return status;
}

Result<std::optional<int>> wait_until(OwnedChild& child, Deadline deadline) {
    for (;;) {
        if (auto status = TRY(try_reap(child))) return status;
        const Nanoseconds left = deadline.remaining();
        if (left <= 0) return std::nullopt;
        pollfd entry{child.pidfd(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, poll_timeout_rounding_up(left));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return fail_last_os_error();
        }
        if ((entry.revents & POLLNVAL) != 0) return fail_errno(EBADF);
        if ((entry.revents & POLLERR) != 0) return fail(kPidfdPollingFailed);
    }
}

Result<void> terminate(OwnedChild& child, std::uint64_t grace_seconds) {
    if (TRY(try_reap(child)).has_value()) return {};
    constexpr auto kLargestGrace =
        static_cast<std::uint64_t>(std::numeric_limits<Nanoseconds>::max() / kNanosPerSecond);
    if (grace_seconds > kLargestGrace) return fail(kGraceTooLarge);
    const auto grace_end = Deadline::checked_after(monotonic_now(), seconds(static_cast<std::int64_t>(grace_seconds)));
    if (!grace_end.has_value()) return fail(kGraceTooLarge);

    TRY(send_counting_gone_as_sent(child.pidfd(), SIGTERM));
    if (TRY(wait_until(child, *grace_end)).has_value()) return {};
    TRY(send_counting_gone_as_sent(child.pidfd(), SIGKILL));
    if (TRY(wait_until(child, Deadline::after(kExitConfirmationLimit))).has_value()) return {};
    return fail(kExitUnconfirmed);
}

void release_child(OwnedChild& child) noexcept {
    if (!child.pidfd_.valid()) return;
    if (!child.exited_) (void)terminate(child, 0);
    child.pidfd_.reset();
}

PreExecHook parent_watch_hook(pid_t supervisor_pid) noexcept {
    PreExecHook hook;
    hook.run = &watch_parent;
    hook.values[kHookSupervisorPid] = supervisor_pid;
    return hook;
}

}  // namespace quillmere
