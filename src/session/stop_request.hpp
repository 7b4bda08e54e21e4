#pragma once
// The stop marker: a regular file "stop" in the state directory asks the run to end.

#include <string_view>

#include "linux/error.hpp"

namespace quillmere {

inline constexpr std::string_view kStopMarkerName = "stop";

// Yes for a regular file, no for no entry, kSessionValidationFailed for any other type (a
// symbolic link included, which is never followed), or the error of lstat.
[[nodiscard]] Result<bool> stop_requested(std::string_view state_dir);

}  // namespace quillmere
