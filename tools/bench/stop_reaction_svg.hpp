#pragma once
// The stop reaction's distribution as a picture: one cumulative curve per way of asking.

#include <string>

#include "measurements.hpp"

namespace quillmere::bench {

// Writes "stop-reaction.svg" into `out_dir` (made if missing) and gives its path.
std::string write_stop_reaction_svg(const std::string& out_dir, const StopReaction& s);

}  // namespace quillmere::bench
