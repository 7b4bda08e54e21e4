#pragma once
// Opening a file that someone else prepared, before anything about it is known.

#include <string>

#include "linux/error.hpp"
#include "linux/unique_fd.hpp"

namespace quillmere {

// Opens `path` read-only and close-on-exec, never through a symbolic link (ELOOP), without
// waiting for a writer should a FIFO stand at the name, and without letting a terminal become
// the controlling terminal. What was opened is still to be judged on the descriptor.
[[nodiscard]] Result<UniqueFd> open_untrusted(const std::string& path);

}  // namespace quillmere
