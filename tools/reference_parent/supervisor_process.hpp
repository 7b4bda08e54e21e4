#pragma once
// Starting the supervisor as the parent does: a child process with the mode word and the state
// directory as its arguments, whose exit status, standard output and standard error are the
// whole of its answer besides the state files.

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

struct SupervisorOutcome {
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

class SupervisorProcess {
public:
    // Starts `binary` with `args` (argv[0] is the binary's path) and this process's environment.
    [[nodiscard]] static Result<SupervisorProcess> start(const std::string& binary,
                                                         const std::vector<std::string>& args);
    // Starts `binary` with the mode word and the state directory.
    [[nodiscard]] static Result<SupervisorProcess> start(const std::string& binary, SupervisorMode mode,
                                                         std::string_view state_dir);

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
                                                       std::string_view state_dir, Nanoseconds time_limit);

}  // namespace quillmere::reference
