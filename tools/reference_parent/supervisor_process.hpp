#pragma once
// Starting the supervisor as the parent does: a child process with the mode word and the state
// directory as its arguments, whose exit status, standard output and standard error are the
// whole of its answer besides the state files. An application runs as the desktop user and
// starts it through pkexec; the tests and the demo, running as root, may start it directly.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linux/deadline.hpp"
#include "linux/error.hpp"
#include "linux/unique_fd.hpp"

namespace quillmere::reference {

enum class SupervisorMode { run, recover };

[[nodiscard]] std::string_view mode_word(SupervisorMode mode) noexcept;

// How the supervisor is started: by this process itself (which must then be root), or through
// pkexec and the polkit action, as an unprivileged application starts it.
enum class Launch { direct, pkexec };

inline constexpr std::string_view kPkexecPath = "/usr/bin/pkexec";
// Where the package installs the supervisor: the path its polkit action names, and so the only
// path pkexec starts under that action.
inline constexpr std::string_view kInstalledSupervisorPath = "/usr/libexec/quillmere/quillmere-network-supervisor";

// The program to execute and its whole argument vector (argv[0] included).
struct LaunchCommand {
    std::string program;
    std::vector<std::string> args;
};

// `binary` `mode` `state_dir`, or the same behind pkexec. pkexec executes the supervisor in its
// own place, so the pid the parent started is the supervisor's either way.
[[nodiscard]] LaunchCommand launch_command(Launch launch, const std::string& binary, SupervisorMode mode,
                                           std::string_view state_dir);

struct SupervisorOutcome {
    pid_t pid = -1;                     // the supervisor's, and under pkexec too
    int wait_status = 0;                // as waitpid gives it
    bool killed_at_time_limit = false;  // the parent gave up on it and sent SIGKILL
    Nanoseconds started = 0;            // CLOCK_MONOTONIC, right before the fork
    Nanoseconds ended = 0;              // when its exit was seen
    std::string standard_output;
    std::string standard_error;

    // The exit code, or nullopt when a signal ended it.
    [[nodiscard]] std::optional<int> exit_code() const noexcept;
    // The signal that ended it, or 0.
    [[nodiscard]] int signal() const noexcept;
};

// What the exit status alone says. The supervisor itself exits only 0 or 1; pkexec exits 127
// when it did not start it (not authorised, no such action or program) and 126 when the user
// dismissed the authentication dialog, and a parent must not mistake either for the
// supervisor's failure: nothing ran, and no recovery is due.
enum class Ending {
    success,                   // 0
    failure,                   // 1, from the supervisor: the state files tell the rest
    not_authorised,            // 127 from pkexec
    authentication_dismissed,  // 126 from pkexec
    signalled,                 // ended by a signal
    unexpected_status,         // any other status, which neither the supervisor nor pkexec gives
};

[[nodiscard]] Ending ending_of(const SupervisorOutcome& outcome, Launch launch) noexcept;

class SupervisorProcess {
public:
    // Starts `binary` with `args` (argv[0] is the binary's path) and this process's environment.
    [[nodiscard]] static Result<SupervisorProcess> start(const std::string& binary,
                                                         const std::vector<std::string>& args);
    // Starts `binary` with the mode word and the state directory, as `launch` says.
    [[nodiscard]] static Result<SupervisorProcess> start(const std::string& binary, SupervisorMode mode,
                                                         std::string_view state_dir, Launch launch = Launch::direct);

    SupervisorProcess(SupervisorProcess&& other) noexcept;
    SupervisorProcess& operator=(SupervisorProcess&&) = delete;
    // A supervisor that was never finished is killed and reaped, never left behind.
    ~SupervisorProcess();

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }

    // Collects both streams until the supervisor exits and reaps it. If it is still running
    // after `time_limit`, it is killed with SIGKILL and `killed_at_time_limit` is set.
    [[nodiscard]] Result<SupervisorOutcome> finish(Nanoseconds time_limit);

private:
    SupervisorProcess(pid_t pid, UniqueFd pidfd, UniqueFd output, UniqueFd error, Nanoseconds started)
        : pid_(pid),
          pidfd_(std::move(pidfd)),
          output_(std::move(output)),
          error_(std::move(error)),
          started_(started) {}

    pid_t pid_ = -1;  // -1 once reaped
    UniqueFd pidfd_;
    UniqueFd output_;
    UniqueFd error_;
    Nanoseconds started_ = 0;
};

// Starts the supervisor and finishes it: the common case of a parent with nothing else to do
// meanwhile (its ParentSession answers the link on a thread of its own).
[[nodiscard]] Result<SupervisorOutcome> run_supervisor(const std::string& binary, SupervisorMode mode,
                                                       std::string_view state_dir, Nanoseconds time_limit,
                                                       Launch launch = Launch::direct);

}  // namespace quillmere::reference
