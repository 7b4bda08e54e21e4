#pragma once
// The classic wait-status encoding, made from what waitid reports.

#include "linux/error.hpp"

namespace quillmere {

// `code` and `status` are waitid's si_code and si_status (those names are macros of the C
// library). CLD_EXITED: status << 8; CLD_KILLED: status & 0x7f; CLD_DUMPED:
// (status | 0x80) & 0xff. Any other code is "unknown child exit status" (invalid data).
[[nodiscard]] Result<int> wait_status_from(int code, int status) noexcept;

}  // namespace quillmere
