#pragma once
// The processes a session's children leave behind. The supervisor owns only its direct
// children; a helper that a guard or the core starts and abandons would otherwise be handed to
// init and outlive the session, as root. While a DescendantSweep lives, the supervisor is a
// child subreaper, so every such orphan becomes its child; destroying it ends them all.

#include "linux/deadline.hpp"
#include "linux/error.hpp"

namespace quillmere {

// How long the processes found by the sweep get to end by themselves after SIGTERM.
inline constexpr Nanoseconds kSweepGrace = seconds(1);
// After SIGKILL, how long the sweep goes on waiting for the last exits before it gives up.
inline constexpr Nanoseconds kSweepKillLimit = seconds(2);

class DescendantSweep {
public:
    // Makes the supervisor a child subreaper; fails when the kernel refuses, or cannot list a
    // task's children (a kernel without CONFIG_PROC_CHILDREN).
    [[nodiscard]] static Result<DescendantSweep> begin();

    DescendantSweep(DescendantSweep&& other) noexcept : armed_(other.armed_) { other.armed_ = false; }
    DescendantSweep& operator=(DescendantSweep&&) = delete;
    DescendantSweep(const DescendantSweep&) = delete;
    DescendantSweep& operator=(const DescendantSweep&) = delete;
    // Runs sweep_descendants, whatever path the mode takes out.
    ~DescendantSweep();

private:
    DescendantSweep() noexcept = default;
    bool armed_ = true;
};

// Ends every process that is a child of the supervisor now or becomes one while this runs:
// each is opened as a pidfd, sent SIGTERM, given kSweepGrace, sent SIGKILL, and reaped through
// its pidfd. Returns within kSweepGrace plus kSweepKillLimit; what cannot be ended in that time
// is left. Nothing about the sweep is reported: it never changes how a mode ends.
void sweep_descendants() noexcept;

}  // namespace quillmere
