#include "linux/path.hpp"

namespace quillmere {

std::string join_path(std::string_view dir, std::string_view name) {
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir).append(1, '/').append(name);
    return path;
}

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

std::string decimal(unsigned long long value) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* begin = end;
    do {
        *--begin = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return std::string(begin, end);
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + decimal(static_cast<unsigned long long>(fd)); }

}  // namespace quillmere
