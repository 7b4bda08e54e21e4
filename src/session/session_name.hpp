#pragma once
// The naming rule of state directories: "quillmere-vpn-" and 1 to 64 ASCII letters or digits.

#include <optional>
#include <string_view>

namespace quillmere {

inline constexpr std::string_view kSessionNamePrefix = "quillmere-vpn-";

// The last component of `path`, where empty and "." components do not count; nullopt when
// there is none (the root) or it is "..".
[[nodiscard]] std::optional<std::string_view> last_path_component(std::string_view path);

// Whether `name` is an acceptable state directory name (prefix, suffix of 1 to 64 ASCII
// letters or digits).
[[nodiscard]] bool is_session_name(std::string_view name);

}  // namespace quillmere
