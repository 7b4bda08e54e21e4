#pragma once
// Children the supervisor owns: spawned only when their exit cannot be taken by anyone else,
// watched, signalled and reaped only through their pidfd, killed by the kernel if the
// supervisor dies, and never left running or unaccounted for.

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "linux/child_command.hpp"
#include "linux/deadline.hpp"
#include "linux/error.hpp"
#include "linux/unique_fd.hpp"

namespace quillmere {

class OwnedChild {
public:
    OwnedChild(pid_t pid, UniqueFd pidfd) noexcept : pid_(pid), pidfd_(std::move(pidfd)) {}
    OwnedChild(OwnedChild&& other) noexcept;
    OwnedChild& operator=(OwnedChild&&) = delete;
    OwnedChild(const OwnedChild&) = delete;
    OwnedChild& operator=(const OwnedChild&) = delete;
    // Releases the child (see release_child) if that has not happened yet.
    ~OwnedChild();

    [[nodiscard]] pid_t pid() const noexcept { return pid_; }
    [[nodiscard]] int pidfd() const noexcept { return pidfd_.get(); }
    [[nodiscard]] bool exited() const noexcept { return exited_; }
    [[nodiscard]] int wait_status() const noexcept { return wait_status_; }

private:
    friend Result<std::optional<int>> try_reap(OwnedChild& child);
    friend void release_child(OwnedChild& child) noexcept;

    pid_t pid_;
    UniqueFd pidfd_;
    bool exited_ = false;
    int wait_status_ = 0;
};

// Checks that the supervisor owns its children's exits, appends the parent watch hook, spawns
// `command` and takes the child into ownership through a pidfd.
[[nodiscard]] Result<OwnedChild> spawn_contained(ChildCommand& command);

// Waits, without blocking, on the pidfd of this very process: only ECHILD shows that waitid on
// a pidfd works, anything else is the failure to report.
[[nodiscard]] Result<void> probe_pidfd_wait(int self_pidfd);

// The wait status once the child has exited (reaping it), nullopt while it runs. Never blocks.
[[nodiscard]] Result<std::optional<int>> try_reap(OwnedChild& child);

// Like try_reap, but waits in poll on the pidfd until the child exits or `deadline` passes.
[[nodiscard]] Result<std::optional<int>> wait_until(OwnedChild& child, Deadline deadline);

// SIGTERM, up to `grace_seconds` for the child to exit, SIGKILL, then up to 5 s for proof of
// exit. Succeeds only once the exit has been observed.
[[nodiscard]] Result<void> terminate(OwnedChild& child, std::uint64_t grace_seconds);

// Terminates with grace 0 a child whose exit has not been seen (ignoring the result), then
// closes the pidfd. Idempotent.
void release_child(OwnedChild& child) noexcept;

// The last hook of every child: asks for SIGKILL when the supervisor dies, and refuses to run
// (ECHILD) if the supervisor is already gone.
[[nodiscard]] PreExecHook parent_watch_hook(pid_t supervisor_pid) noexcept;

}  // namespace quillmere
