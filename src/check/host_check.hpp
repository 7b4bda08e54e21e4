#pragma once
// The check of the machine: each kernel feature the supervisor depends on, probed for real,
// with the oldest kernel that has it and what the supervisor does without it.

#include <string>

#include "check/finding.hpp"

namespace quillmere::check {

// `directory` is where state directories are made (its file system is asked whether it can
// tell file capabilities); nothing is created there.
[[nodiscard]] Findings check_host(const std::string& directory);

// Where state directories usually live: $XDG_RUNTIME_DIR, else /tmp.
[[nodiscard]] std::string usual_state_directory_home();

}  // namespace quillmere::check
