#pragma once
// Names of files the supervisor works with: entries of the state directory, and the
// /proc/self/fd paths through which validated descriptors are executed and handed on.

#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// `dir`, one slash, `name`. The state directory is canonical, so it never ends with a slash.
[[nodiscard]] std::string join_path(std::string_view dir, std::string_view name);

// "/proc/self/fd/" and the descriptor number in decimal.
[[nodiscard]] std::string descriptor_path(int fd);

// The last component of `path`, where empty and "." components do not count; nullopt when
// there is none (the root) or it is "..".
[[nodiscard]] std::optional<std::string_view> last_path_component(std::string_view path);

// The unsigned decimal digits of `value`: no sign, no leading zeros, nothing else.
[[nodiscard]] std::string decimal(unsigned long long value);

}  // namespace quillmere
