#pragma once
// Marking every descriptor above the standard streams close-on-exec, so that a descriptor that
// reached the process without the flag (leaked by whoever started it) reaches no program it
// executes. One close_range call does it on kernels from 5.11; older ones need a fallback, and
// which fallback depends on whether the caller may still allocate.

namespace quillmere {

enum class CloexecFallback {
    // Each number from 3 below a limit taken before fork, with fcntl alone: usable between fork
    // and exec. Taken only when the kernel does not know the call or the flag; any other
    // failure, here or in the loop, is reported.
    kNumbered,
    // The descriptors /proc/self/fd lists, whatever limit was set after they were opened: for
    // a process that may still allocate. Taken after any failure, best effort, never reported.
    kListed,
};

// 0, or the errno of the step that failed (kNumbered only).
[[nodiscard]] int mark_descriptors_cloexec(CloexecFallback fallback, unsigned numbered_limit = 0) noexcept;

}  // namespace quillmere
