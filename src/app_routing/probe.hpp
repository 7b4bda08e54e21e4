#pragma once
// One socket-diagnostics dump request for one address family and protocol that selects no
// socket state, so a kernel that supports the pair answers with a single clean end-of-dump.

#include <cstdint>

#include "linux/deadline.hpp"

namespace quillmere {

inline constexpr Nanoseconds kProbeTimeLimit = milliseconds(250);

// True only for a clean end-of-dump with status 0 from the kernel; every failure is false.
[[nodiscard]] bool probe_sock_diag(std::uint8_t family, std::uint8_t protocol, std::uint32_t sequence,
                                   Deadline deadline) noexcept;

}  // namespace quillmere
