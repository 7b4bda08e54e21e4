#pragma once
// How the core ended, from the supervisor's "core-exit" record, in words for the people who read
// what a run left.

#include <string>

#include "children/core_exit_record.hpp"

namespace quillmere::check {

// "ended by itself before any stop was asked, with exit code 2" and the like.
[[nodiscard]] std::string core_end_in_words(const CoreExitRecord& record);

}  // namespace quillmere::check
