#pragma once

#include <string_view>

#include "linux/error.hpp"

namespace quillmere {

inline constexpr Error kWriteZero = Error::with_text(ErrorKind::write_zero, "failed to write whole buffer");

// Writes every byte of `bytes` to `fd`: short writes continue where they stopped, EINTR
// repeats the call, and a write that takes nothing is kWriteZero rather than a silent loop.
[[nodiscard]] Result<void> write_all(int fd, std::string_view bytes) noexcept;

}  // namespace quillmere
