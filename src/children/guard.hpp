#pragma once
// The guard: "network-guard.cjs" run by "node", once before the core ("preflight") and once
// after it ("cleanup"). It answers only through its exit status, within 6 seconds.

#include <string_view>

#include "children/input_files.hpp"
#include "linux/deadline.hpp"
#include "linux/error.hpp"

namespace quillmere {

// How often a running guard is looked at.
inline constexpr Nanoseconds kGuardPollPeriod = milliseconds(50);

enum class GuardMode { preflight, cleanup };

// The program "node" runs with "--eval": it executes the guard script from its validated
// descriptor. Exactly 304 bytes, one line.
extern const std::string_view kGuardLoader;

[[nodiscard]] std::string_view guard_mode_word(GuardMode mode) noexcept;

// Yes when the guard exited with status 0 within its time limit, no for any other end.
[[nodiscard]] Result<bool> run_guard(std::string_view state_dir, GuardMode mode, int sealed_config_fd,
                                     const GuardFiles& guard);

}  // namespace quillmere
