#pragma once
// The classic wait-status encoding, made from what waitid reports.

#include "linux/error.hpp"

namespace quillmere {

// CLD_EXITED: code << 8; CLD_KILLED: signal & 0x7f; CLD_DUMPED: (signal | 0x80) & 0xff.
// Any other si_code is "unknown child exit status" (invalid data).
[[nodiscard]] Result<int> wait_status_from(int si_code, int si_status) noexcept;

}  // namespace quillmere
