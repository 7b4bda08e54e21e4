#pragma once

#include <string_view>

#include "linux/error.hpp"

namespace quillmere {

// "run STATE_DIR": bring one session up under supervision and clean it up afterwards.
[[nodiscard]] Result<void> run_mode(std::string_view state_dir_argument);

// "recover STATE_DIR": only the guard's clean-up for a session.
[[nodiscard]] Result<void> recover_mode(std::string_view state_dir_argument);

}  // namespace quillmere
