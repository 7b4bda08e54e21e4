#pragma once
// The child command every child starts from: the supervisor's own environment without the
// names of the environment policy.

#include <string_view>

#include "linux/child_command.hpp"

namespace quillmere {

// A command for `program` with argv[0] equal to it, no further arguments, no hooks, and the
// removals of the environment policy.
[[nodiscard]] ChildCommand scrubbed_command(std::string_view program);

}  // namespace quillmere
