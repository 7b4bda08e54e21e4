#pragma once
// The app routing check: four probes on a worker thread of their own, and a bounded wait for
// their report on the main thread.

#include "app_routing/report.hpp"
#include "linux/deadline.hpp"

namespace quillmere {

inline constexpr Nanoseconds kAppRoutingCheckTimeLimit = milliseconds(1200);

// Always yields a report: the worker's, or the fallback when it could not start or was late.
[[nodiscard]] AppRoutingReport check_app_routing() noexcept;

}  // namespace quillmere
