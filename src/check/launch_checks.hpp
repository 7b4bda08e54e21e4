#pragma once
// What the supervisor inherits from whoever starts it and cannot work with. The checker is
// started the way the parent starts its children, so it inherits the same: a SIGCHLD
// disposition that takes the children's exits away, and limits too small for its files.

#include "check/finding.hpp"

namespace quillmere::check {

void check_launch(Findings& findings);

}  // namespace quillmere::check
