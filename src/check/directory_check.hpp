#pragma once
// The check of a state directory: every check the supervisor makes before it starts a child,
// in its own order, for "run" or "recover", and what the state files already there mean.

#include <sys/types.h>

#include <optional>
#include <string_view>

#include "check/finding.hpp"

namespace quillmere::check {

enum class SupervisorForm { run, recover };

// Whether a supervisor is still to come (the state files already there are what will make it
// fail), or has been and gone (they are what it left, and the parent no longer listens).
enum class DirectoryMoment { before_start, after_run };

// `supervisor_pid`, after a run, is the pid of the supervisor the parent started: state files
// it did not write are then told apart from its results.
[[nodiscard]] Findings check_state_directory(std::string_view argument, SupervisorForm form, DirectoryMoment moment,
                                             std::optional<pid_t> supervisor_pid = std::nullopt);

}  // namespace quillmere::check
