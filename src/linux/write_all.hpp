#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string_view>

#include "linux/error.hpp"

namespace quillmere {

inline constexpr Error kWriteZero = Error::with_text(ErrorKind::write_zero, "failed to write whole buffer");

// One call that writes some of a buffer, as write(2) does: the bytes taken, or -1 with errno.
using WriteSome = ssize_t (*)(int fd, const void* bytes, std::size_t size) noexcept;

// Writes every byte of `bytes` to `fd` through `write_some` (write(2) unless told otherwise):
// short writes continue where they stopped, EINTR repeats the call, and a write that takes
// nothing is kWriteZero rather than a silent loop.
[[nodiscard]] Result<void> write_all(int fd, std::string_view bytes, WriteSome write_some = nullptr) noexcept;

}  // namespace quillmere
