#include "session/session_name.hpp"

#include <algorithm>

#include "session/utf8.hpp"

namespace quillmere {

namespace {
constexpr std::size_t kMaxSuffixBytes = 64;

bool is_ascii_alphanumeric(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
}  // namespace

std::optional<std::string_view> last_path_component(std::string_view path) {
    while (!path.empty()) {
        while (!path.empty() && path.back() == '/') path.remove_suffix(1);
        if (path.empty()) break;
        const std::size_t slash = path.rfind('/');
        const std::string_view component = slash == std::string_view::npos ? path : path.substr(slash + 1);
        if (component == ".") {
            path.remove_suffix(component.size());
            continue;
        }
        if (component == "..") return std::nullopt;
        return component;
    }
    return std::nullopt;
}

bool is_session_name(std::string_view name) {
    if (!is_valid_utf8(name)) return false;
    if (!name.starts_with(kSessionNamePrefix)) return false;
    const std::string_view suffix = name.substr(kSessionNamePrefix.size());
    if (suffix.empty() || suffix.size() > kMaxSuffixBytes) return false;
    return std::ranges::all_of(suffix, is_ascii_alphanumeric);
}

}  // namespace quillmere
