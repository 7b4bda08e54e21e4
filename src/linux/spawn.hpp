#pragma once
// Fork and exec of one child command. Everything the child needs is flattened into plain
// arrays before the fork; between fork and exec only async-signal-safe calls run.

#include <sys/types.h>

#include "linux/child_command.hpp"
#include "linux/error.hpp"

namespace quillmere {

// Starts `command` and returns the child's pid once exec has succeeded. When a hook or the exec
// fails, the child reports the errno through a close-on-exec pipe, is reaped, and the spawn
// fails with that errno.
[[nodiscard]] Result<pid_t> spawn_process(const ChildCommand& command);

}  // namespace quillmere
