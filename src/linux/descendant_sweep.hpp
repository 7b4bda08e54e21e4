#pragma once
// The processes a session's children leave behind. The supervisor owns only its direct
// children; a helper that a guard or the core starts and abandons would otherwise be handed to
// init and outlive the session, as root. While a DescendantSweep lives, the supervisor is a
// child subreaper, so every such orphan becomes its child; destroying it ends them all, but
// never the children the supervisor already had when the mode began.

#include <sys/types.h>

#include <vector>

#include "linux/deadline.hpp"
#include "linux/error.hpp"
#include "linux/unique_fd.hpp"

namespace quillmere {

// How long the processes found by the sweep get to end by themselves after SIGTERM.
inline constexpr Nanoseconds kSweepGrace = seconds(1);
// After SIGKILL, how long the sweep goes on waiting for the last exits before it gives up.
inline constexpr Nanoseconds kSweepKillLimit = seconds(2);

// A child held through its pidfd, so that its pid is known to name the same process for as
// long as the pidfd still shows it as an unreaped child of ours.
struct PinnedChild {
    pid_t pid = 0;
    UniqueFd pidfd;
};

class DescendantSweep {
public:
    // Makes the supervisor a child subreaper and pins the children it already has (a
    // launcher's, passed on when it executed the supervisor); fails when the kernel refuses,
    // or cannot list a task's children (a kernel without CONFIG_PROC_CHILDREN).
    [[nodiscard]] static Result<DescendantSweep> begin();

    DescendantSweep(DescendantSweep&& other) noexcept : foreign_(std::move(other.foreign_)), armed_(other.armed_) {
        other.armed_ = false;
    }
    DescendantSweep& operator=(DescendantSweep&&) = delete;
    DescendantSweep(const DescendantSweep&) = delete;
    DescendantSweep& operator=(const DescendantSweep&) = delete;
    // Runs sweep_descendants, whatever path the mode takes out.
    ~DescendantSweep();

private:
    explicit DescendantSweep(std::vector<PinnedChild> foreign) noexcept : foreign_(std::move(foreign)) {}
    std::vector<PinnedChild> foreign_;
    bool armed_ = true;
};

// Ends every process that is a child of the supervisor now or becomes one while this runs,
// except the `foreign` ones that are still unreaped children: each is opened as a pidfd, sent
// SIGTERM, given kSweepGrace, sent SIGKILL, and reaped through its pidfd. Returns within
// kSweepGrace plus kSweepKillLimit; what cannot be ended in that time is left. Nothing about
// the sweep is reported: it never changes how a mode ends.
void sweep_descendants(const std::vector<PinnedChild>& foreign) noexcept;

// Reaps the children handed to the supervisor that have exited, so that orphans do not pile
// up as zombies over a long session. `owned`, the child being supervised, is never reaped
// here: its exit belongs to its pidfd. Costs one waitid when nothing has exited; what fails
// is left for the sweep.
void reap_exited_orphans(pid_t owned) noexcept;

}  // namespace quillmere
