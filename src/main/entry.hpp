#pragma once

#include <span>
#include <string_view>

namespace quillmere {

// The version comes from the build (the project's VERSION), so that the banner, the packages
// and the manual pages cannot tell different versions.
inline constexpr std::string_view kVersionBanner = "Quillmere network supervisor " QUILLMERE_VERSION "\n";
inline constexpr std::string_view kFailureMarker = "NETWORK_SUPERVISOR_FAILED\n";

// The whole program after start-up preparation: dispatches `args` (the arguments after the
// program name) and returns the exit status, having written the failure marker if it is 1.
[[nodiscard]] int run_supervisor(std::span<const std::string_view> args);

// Writes the failure marker to standard error, once per call; nothing else is ever written.
void report_failure() noexcept;

}  // namespace quillmere
