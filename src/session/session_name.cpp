#include "session/session_name.hpp"

#include <algorithm>

#include "linux/utf8.hpp"

namespace quillmere {

namespace {
bool is_ascii_alphanumeric(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
}  // namespace

std::optional<NameProblem> session_name_problem(std::string_view name) {
    if (!is_valid_utf8(name)) return NameProblem::not_utf8;
    if (!name.starts_with(kSessionNamePrefix)) return NameProblem::no_prefix;
    const std::string_view suffix = name.substr(kSessionNamePrefix.size());
    if (suffix.empty()) return NameProblem::empty_suffix;
    if (suffix.size() > kSessionNameMaxSuffixBytes) return NameProblem::long_suffix;
    if (!std::ranges::all_of(suffix, is_ascii_alphanumeric)) return NameProblem::suffix_character;
    return std::nullopt;
}

}  // namespace quillmere
