#pragma once

#include "linux/error.hpp"
#include "session/session.hpp"

namespace quillmere {

// After the guard's clean-up: "done" with the completion document when it agreed, otherwise
// an empty "cleanup-error" and a failure of the mode whether or not that file could be written.
[[nodiscard]] Result<void> write_end_marker(const Session& session, bool cleanup_succeeded);

}  // namespace quillmere
