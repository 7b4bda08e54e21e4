#pragma once
// The check of a state directory: every check the supervisor makes before it starts a child,
// in its own order, for "run" or "recover", and what the state files already there mean.

#include <string_view>

#include "check/finding.hpp"

namespace quillmere::check {

enum class SupervisorForm { run, recover };

// Whether a supervisor is still to come (the state files already there are what will make it
// fail), or has been and gone (they are what it left, and the parent no longer listens).
enum class DirectoryMoment { before_start, after_run };

[[nodiscard]] Findings check_state_directory(std::string_view argument, SupervisorForm form, DirectoryMoment moment);

}  // namespace quillmere::check
