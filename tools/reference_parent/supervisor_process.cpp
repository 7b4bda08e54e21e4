#include "reference_parent/supervisor_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "linux/syscalls.hpp"

namespace quillmere::reference {

namespace {

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

Result<Pipe> make_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return fail_last_os_error();
    return Pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// Reads what `fd` has now into `into`; false once it is at its end (or broken).
bool read_available(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        return got < 0 && errno == EAGAIN;
    }
}

Result<void> make_non_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return fail_last_os_error();
    return {};
}

pid_t reap(pid_t pid, int& status) {
    pid_t reaped = -1;
    do {
        reaped = ::waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    return reaped;
}

}  // namespace

std::string_view mode_word(SupervisorMode mode) noexcept { return mode == SupervisorMode::run ? "run" : "recover"; }

std::optional<int> SupervisorOutcome::exit_code() const noexcept {
    if (!WIFEXITED(wait_status)) return std::nullopt;
    return WEXITSTATUS(wait_status);
}

int SupervisorOutcome::signal() const noexcept { return WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0; }

LaunchCommand launch_command(Launch launch, const std::string& binary, SupervisorMode mode,
                             std::string_view state_dir) {
    std::vector<std::string> args = {binary, std::string(mode_word(mode)), std::string(state_dir)};
    if (launch == Launch::direct) return {binary, std::move(args)};
    args.insert(args.begin(), std::string(kPkexecPath));
    return {std::string(kPkexecPath), std::move(args)};
}

Ending ending_of(const SupervisorOutcome& outcome, Launch launch) noexcept {
    constexpr int kPkexecDismissed = 126;
    constexpr int kPkexecRefused = 127;
    const std::optional<int> code = outcome.exit_code();
    if (!code) return Ending::signalled;
    if (*code == 0) return Ending::success;
    if (*code == 1) return Ending::failure;
    if (launch == Launch::pkexec && *code == kPkexecRefused) return Ending::not_authorised;
    if (launch == Launch::pkexec && *code == kPkexecDismissed) return Ending::authentication_dismissed;
    return Ending::unexpected_status;
}

Result<SupervisorProcess> SupervisorProcess::start(const std::string& binary, SupervisorMode mode,
                                                   std::string_view state_dir, Launch launch) {
    const LaunchCommand command = launch_command(launch, binary, mode, state_dir);
    return start(command.program, command.args);
}

Result<SupervisorProcess> SupervisorProcess::start(const std::string& binary, const std::vector<std::string>& args) {
    // Everything the child needs exists before the fork: after it, the child only moves
    // descriptors and executes.
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    Pipe output = TRY(make_pipe());
    Pipe error = TRY(make_pipe());
    Pipe exec_failure = TRY(make_pipe());  // close-on-exec: it reaches EOF when exec succeeds
    TRY(make_non_blocking(output.read.get()));
    TRY(make_non_blocking(error.read.get()));

    const Nanoseconds started = monotonic_now();
    const pid_t pid = ::fork();
    if (pid < 0) return fail_last_os_error();
    if (pid == 0) {
        // dup2 clears close-on-exec on the copies, which is what standard streams need.
        if (::dup2(output.write.get(), STDOUT_FILENO) >= 0 && ::dup2(error.write.get(), STDERR_FILENO) >= 0)
            ::execve(binary.c_str(), argv.data(), environ);
        const int failure = errno;
        (void)(::write(exec_failure.write.get(), &failure, sizeof failure) < 0);
        ::_exit(127);
    }
    output.write.reset();
    error.write.reset();
    exec_failure.write.reset();

    int failure = 0;
    ssize_t got = -1;
    do {
        got = ::read(exec_failure.read.get(), &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    if (got != 0) {
        int status = 0;
        reap(pid, status);
        return fail_errno(got == sizeof failure ? failure : EIO);
    }

    Result<UniqueFd> pidfd = pidfd_open(pid);
    if (!pidfd.has_value()) {
        ::kill(pid, SIGKILL);
        int status = 0;
        reap(pid, status);
        return fail(pidfd.error());
    }
    return SupervisorProcess(pid, std::move(*pidfd), std::move(output.read), std::move(error.read), started);
}

SupervisorProcess::SupervisorProcess(SupervisorProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::move(other.pidfd_)),
      output_(std::move(other.output_)),
      error_(std::move(other.error_)),
      started_(other.started_) {}

SupervisorProcess::~SupervisorProcess() {
    if (pid_ < 0) return;
    (void)pidfd_send_signal(pidfd_.get(), SIGKILL);
    int status = 0;
    reap(pid_, status);
}

Result<SupervisorOutcome> SupervisorProcess::finish(Nanoseconds time_limit) {
    if (pid_ < 0) return fail_errno(ECHILD);
    SupervisorOutcome outcome;
    outcome.pid = pid_;
    outcome.started = started_;
    const Deadline deadline = Deadline::after(time_limit);
    bool output_open = true;
    bool error_open = true;
    // The streams are read while the supervisor runs, so that it never blocks on a full pipe;
    // its exit is taken from the pidfd, not from the streams, which children may hold open.
    for (;;) {
        pollfd fds[3] = {{pidfd_.get(), POLLIN, 0},
                         {output_open ? output_.get() : -1, POLLIN, 0},
                         {error_open ? error_.get() : -1, POLLIN, 0}};
        const int timeout = outcome.killed_at_time_limit ? -1 : poll_timeout_rounding_up(deadline.remaining());
        const int ready = ::poll(fds, 3, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return fail_last_os_error();
        }
        if (fds[1].revents != 0) output_open = read_available(output_.get(), outcome.standard_output);
        if (fds[2].revents != 0) error_open = read_available(error_.get(), outcome.standard_error);
        if (fds[0].revents != 0) break;
        if (ready == 0 && !outcome.killed_at_time_limit && deadline.passed()) {
            TRY(pidfd_send_signal(pidfd_.get(), SIGKILL));
            outcome.killed_at_time_limit = true;
        }
    }
    outcome.ended = monotonic_now();
    if (reap(pid_, outcome.wait_status) < 0) return fail_last_os_error();
    pid_ = -1;
    // What the supervisor wrote before it exited is in the pipes by now.
    if (output_open) read_available(output_.get(), outcome.standard_output);
    if (error_open) read_available(error_.get(), outcome.standard_error);
    return outcome;
}

Result<SupervisorOutcome> run_supervisor(const std::string& binary, SupervisorMode mode, std::string_view state_dir,
                                         Nanoseconds time_limit, Launch launch) {
    SupervisorProcess process = TRY(SupervisorProcess::start(binary, mode, state_dir, launch));
    return process.finish(time_limit);
}

}  // namespace quillmere::reference
