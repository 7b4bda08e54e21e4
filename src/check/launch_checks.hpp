#pragma once
// What the supervisor inherits from whoever starts it and cannot work with. The checker is
// started the way the parent starts its children, so it inherits the same: a SIGCHLD
// disposition that takes the children's exits away, and limits too small for its files and
// descriptors.

#include <cstdint>
#include <optional>

#include "check/directory_check.hpp"
#include "check/finding.hpp"

namespace quillmere::check {

// `largest_copy`: the size of the larger of the files the supervisor copies into sealed memory
// files ("tun.json", "network-guard.cjs"), when known. A run holds more descriptors than a
// recovery; the host check judges for a run.
void check_launch(Findings& findings, SupervisorForm form = SupervisorForm::run,
                  std::optional<std::uintmax_t> largest_copy = std::nullopt);

}  // namespace quillmere::check
