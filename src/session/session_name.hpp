#pragma once
// The naming rule of state directories: "quillmere-vpn-" and 1 to 64 ASCII letters or digits.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quillmere {

inline constexpr std::string_view kSessionNamePrefix = "quillmere-vpn-";
inline constexpr std::size_t kSessionNameMaxSuffixBytes = 64;

// Why a name is not a state directory name, in the order the rule looks.
enum class NameProblem : std::uint8_t {
    not_utf8,
    no_prefix,         // does not begin with "quillmere-vpn-"
    empty_suffix,      // nothing after the prefix
    long_suffix,       // more than 64 bytes after the prefix
    suffix_character,  // a byte after the prefix that is no ASCII letter or digit
};

// The first thing that makes `name` unacceptable as a state directory name (prefix, suffix of
// 1 to 64 ASCII letters or digits), or nullopt for a good name.
[[nodiscard]] std::optional<NameProblem> session_name_problem(std::string_view name);

[[nodiscard]] inline bool is_session_name(std::string_view name) { return !session_name_problem(name).has_value(); }

}  // namespace quillmere
